// Running a program of the build as a subprocess, as a user would (header only).
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "test_helpers.h"

extern char** environ;

namespace ews_test {

struct ProgramResult {
  int code = -1;  // the exit code; -1 when it did not exit normally
  std::string out, err;
  bool timedOut = false;  // still running after the limit, and killed
};

// Runs args[0] with args, standard input from /dev/null and both outputs captured through files in
// `dir`. The environment is this process's less every EWS_ variable, with `env` ("NAME=value")
// added or replacing the variable of that name.
// A run that has not ended after `limit` (a table paged without end) is killed.
inline ProgramResult RunProgram(std::vector<std::string> args, std::vector<std::string> env,
                                const std::filesystem::path& dir,
                                std::chrono::seconds limit = std::chrono::seconds(60)) {
  const std::filesystem::path out = dir / "stdout", err = dir / "stderr";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::vector<char*> argv, envp;
  for (auto& a : args)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  auto replaced = [&](const std::string& var) {
    const std::string name = var.substr(0, var.find('=') + 1);
    for (const std::string& e : env)
      if (e.rfind(name, 0) == 0) return true;
    return false;
  };
  for (char** e = environ; *e; ++e)
    if (std::string(*e).rfind("EWS_", 0) != 0 && !replaced(*e)) envp.push_back(*e);
  for (auto& e : env)
    envp.push_back(e.data());
  envp.push_back(nullptr);
  ProgramResult r;
  pid_t pid = -1;
  if (posix_spawn(&pid, args[0].c_str(), &actions, nullptr, argv.data(), envp.data()) == 0) {
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (waitpid(pid, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        r.timedOut = true;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  posix_spawn_file_actions_destroy(&actions);
  r.out = ReadFile(out);
  r.err = ReadFile(err);
  return r;
}

}  // namespace ews_test
