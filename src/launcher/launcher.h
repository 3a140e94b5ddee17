// The program's entry: start-up, working directory, and the run loop.
#ifndef QUARN_LAUNCHER_LAUNCHER_H_
#define QUARN_LAUNCHER_LAUNCHER_H_

#include <string>

/// The whole life of one invocation; returns the exit code (kNoExitCode is
/// 255).
int RealMain(int argc, char** argv, char** envp);

/// The working directory named by the first "-d"/"--directory" (made
/// absolute against the current directory), else the current directory.
void GetCurrentWorkingDirPath(int argc, char** argv, std::string& cwd);

#endif  // QUARN_LAUNCHER_LAUNCHER_H_
