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

/// Finds or starts a daemon, runs the command, re-runs on request.
int RunCommandLoop(const std::string& configDir, const std::string& installDir,
                   const std::string& cwd, const std::string& registryDir, int argc, char** argv,
                   char** envp);

#endif  // QUARN_LAUNCHER_LAUNCHER_H_
