#include "protocol/relay.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "platform/console.h"
#include "platform/descriptors.h"
#include "trace/trace.h"

namespace {

constexpr size_t kInitialCapacity = 256 * 1024;
constexpr size_t kTracedHead = 256;  // of a field written as it arrived

}  // namespace

Relay::Relay()
    : buffer_(static_cast<char*>(std::malloc(kInitialCapacity))), capacity_(kInitialCapacity) {
  if (!buffer_) throw std::bad_alloc();
}

char* Relay::Reserve(int stream, size_t* room) {
  if (failed_stream_ != 0) return nullptr;
  if (stream != stream_ && end_ > 0 && Flush() != 0) return nullptr;
  stream_ = stream;
  if (capacity_ - end_ < kMinRoom) {
    if (Flush() != 0) return nullptr;
    if (capacity_ - end_ < kMinRoom) {
      // Only a field held back fills the buffer: past the limit it is
      // written as it arrives, below it the buffer grows for it.
      if (end_ - field_start_ >= kHoldLimit) {
        streaming_ = true;
        if (TraceEnabled()) {
          field_head_.assign(buffer_.get() + field_start_,
                             std::min(kTracedHead, end_ - field_start_));
        }
        if (Flush() != 0) return nullptr;
      } else {
        Grow(end_ + kMinRoom);
      }
    }
  }
  *room = capacity_ - end_;
  return buffer_.get() + end_;
}

void Relay::Produced(size_t count) { end_ += count; }

void Relay::BeginField() {
  field_open_ = true;
  streaming_ = false;
  field_start_ = end_;
  field_written_ = 0;
  field_head_.clear();
}

void Relay::CommitField(std::string* trace) {
  if (trace != nullptr) {
    if (streaming_) {
      size_t length = field_written_ + (end_ - field_start_);
      *trace = field_head_ + "... (" + std::to_string(length) + " bytes)";
    } else {
      trace->assign(buffer_.get() + field_start_, end_ - field_start_);
    }
  }
  field_open_ = streaming_ = false;
}

void Relay::DropField() {
  if (field_open_ && !streaming_) end_ = field_start_;
  field_open_ = streaming_ = false;
}

size_t Relay::Piece() {
  int stream = stream_ == 0 ? 1 : stream_;
  if (piece_[stream] < 0) piece_[stream] = static_cast<long>(PipeCapacity(stream));
  return static_cast<size_t>(piece_[stream]);
}

int Relay::Flush() {
  if (failed_stream_ != 0) return -1;
  size_t writable = Writable();
  if (writable == 0) return 0;
  std::string_view text(buffer_.get(), writable);
  if ((stream_ == 1 ? WriteToStdOut(text) : WriteToStdErr(text)) != 0) {
    failed_stream_ = stream_;
    error_ = errno;
    return -1;
  }
  if (field_open_) {
    if (streaming_) {
      field_written_ += end_ - field_start_;
      field_start_ = 0;
    } else {
      // The held-back field moves to the front.
      std::memmove(buffer_.get(), buffer_.get() + field_start_, end_ - field_start_);
      field_start_ = 0;
    }
  }
  end_ -= writable;
  return 0;
}

void Relay::Grow(size_t needed) {
  // In place where the allocator can (a large block is remapped, not
  // copied): the old and the new buffer never cost memory side by side.
  size_t capacity = std::max(capacity_ * 2, needed);
  char* bigger = static_cast<char*>(std::realloc(buffer_.get(), capacity));
  if (bigger == nullptr) throw std::bad_alloc();
  (void)buffer_.release();
  buffer_.reset(bigger);
  capacity_ = capacity;
}
