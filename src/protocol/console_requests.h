// The daemon's requests for console input ("stdin-request") and for a
// password ("password-read"), each answered with one message.
#ifndef QUARN_PROTOCOL_CONSOLE_REQUESTS_H_
#define QUARN_PROTOCOL_CONSOLE_REQUESTS_H_

struct Message;
class Relay;

/// Writes what the relay holds, reads a line of at most the requested size
/// and answers "stdin-response" with it, or "stdin-closed" at the end of
/// input (for good once a line did not convert). 0, or kOutputFailed.
int ServeStdinRequest(int* socket, const Message& message, Relay& relay);
/// Shows the prompt, reads a password (echo off when asked) and answers
/// "password-entered"; once input has ended and standard input is no
/// terminal, the empty answer without reading. 0, or kOutputFailed.
int ServePasswordRead(int* socket, const Message& message, Relay& relay);

#endif  // QUARN_PROTOCOL_CONSOLE_REQUESTS_H_
