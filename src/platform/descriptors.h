// Descriptors as this system makes them: close-on-exec from the moment they
// exist, sockets that never raise SIGPIPE, and the few facts about them the
// system may or may not tell. Each has the system's own form where the
// build found one (platform/features.h) and a plain-POSIX form otherwise.
//
// The plain forms set close-on-exec with fcntl right after the descriptor
// is made: quarn has one thread, so no other can fork in between.
#ifndef QUARN_PLATFORM_DESCRIPTORS_H_
#define QUARN_PLATFORM_DESCRIPTORS_H_

#include <cstddef>

/// A pipe, both ends close-on-exec (and non-blocking when asked).
/// 0, or -1 with errno and nothing left open.
int OpenPipe(int ends[2], bool nonBlocking = false);

/// An IPv4 stream socket, close-on-exec, whose sends never raise SIGPIPE.
/// The descriptor, or -1 with errno.
int OpenStreamSocket();

/// A connected pair of local stream sockets, made as OpenStreamSocket
/// makes one. 0, or -1 with errno and nothing left open.
int OpenSocketPair(int ends[2]);

/// The next connection on `listener`, made as OpenStreamSocket makes a
/// socket. The descriptor, or -1 with errno.
int AcceptConnection(int listener);

/// The open() flags for a directory that is only named into (openat,
/// fstatat, mkdirat) and asked about with fstat: where the system has a
/// form that needs no read permission it is used, else a plain read-only
/// directory descriptor.
int DirectoryHandleFlags();

/// Closes every descriptor above 2, for a process about to become a
/// long-lived daemon: in one call where the system has one, else those
/// Linux's /proc lists, else one by one up to the descriptor limit.
void CloseDescriptorsAbove2();

/// The capacity of the pipe `fd` is, in bytes; 0 when it is no pipe or the
/// system does not tell.
size_t PipeCapacity(int fd);

#endif  // QUARN_PLATFORM_DESCRIPTORS_H_
