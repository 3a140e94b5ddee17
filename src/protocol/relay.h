// The daemon's output on its way to descriptors 1 and 2: fields are decoded
// straight into one buffer and written in large pieces, in the order they
// arrived (the other stream's text is written before a stream's own).
#ifndef QUARN_PROTOCOL_RELAY_H_
#define QUARN_PROTOCOL_RELAY_H_

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <string>

class Relay {
 public:
  /// A field is held back until its message is complete, so that a message
  /// the reader refuses relays nothing; past this size it is written as it
  /// arrives, and a refusal cuts the output where it stands.
  static constexpr size_t kHoldLimit = 1024 * 1024;
  /// The least room Reserve gives.
  static constexpr size_t kMinRoom = 64 * 1024;

  Relay();

  /// Room after the pending text for decoded bytes of `stream` (1 or 2):
  /// at least kMinRoom, *room tells how much. Null once a write has failed.
  char* Reserve(int stream, size_t* room);
  /// `count` bytes were written at the room Reserve gave.
  void Produced(size_t count);
  /// A field of the message being read starts: its bytes are held back.
  void BeginField();
  /// Its message is complete: the field may be written. `trace` receives
  /// its text (the first part and the length when it was written as it
  /// arrived) when given.
  void CommitField(std::string* trace);
  /// Its message was refused: what was held back is dropped.
  void DropField();
  /// The text that may be written now.
  size_t Pending() const { return Writable(); }
  /// What to write, and receive, at a time: a pipe's capacity when the
  /// stream being written is a pipe (its reader drains one piece while the
  /// next is decoded), else 0, no limit.
  size_t Piece();
  /// Writes what may go. 0; -1 when a write failed (then and ever after).
  int Flush();
  /// The stream and errno of the failed write.
  int failed_stream() const { return failed_stream_; }
  int error() const { return error_; }

 private:
  void Grow(size_t needed);
  size_t Writable() const { return field_open_ && !streaming_ ? field_start_ : end_; }

  struct Free {
    void operator()(char* p) const { std::free(p); }
  };
  std::unique_ptr<char, Free> buffer_;  // malloc'd: it grows in place by realloc
  size_t capacity_;
  size_t end_ = 0;  // pending text: [0, end_), all of `stream_`
  int stream_ = 0;
  bool field_open_ = false, streaming_ = false;
  size_t field_start_ = 0;
  size_t field_written_ = 0;  // of a field written as it arrived
  std::string field_head_;    // its first part, for the trace
  int failed_stream_ = 0, error_ = 0;
  long piece_[3] = {-1, -1, -1};  // per stream; -1 not asked yet
};

#endif  // QUARN_PROTOCOL_RELAY_H_
