#pragma once

// Runs a program to its end as a child process, for the tests and benchmarks
// that start a built executable: chosen environment entries replace the
// inherited ones, and standard output and error go to files.

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <string>
#include <vector>

extern char** environ;

namespace sonarell::testsupport {

struct Spawn {
  std::string program;
  std::vector<std::string> args;
  std::vector<std::string> env;  // NAME=value entries that replace inherited ones
  std::string stdoutPath = "/dev/null";
  std::string stderrPath = "/dev/null";
  std::string cwd;  // empty: the caller's
};

// The exit status, 128 + the signal for a child ended by one, or -1 when it could not start.
inline int spawnAndWait(const Spawn& spawn) {
  std::vector<std::string> env = spawn.env;
  for (char** e = environ; *e; ++e) {
    const std::string entry(*e);
    const std::string name = entry.substr(0, entry.find('=') + 1);
    bool replaced = false;
    for (const std::string& own : spawn.env) replaced = replaced || own.rfind(name, 0) == 0;
    if (!replaced) env.push_back(entry);
  }
  std::vector<char*> envp, argv{const_cast<char*>(spawn.program.c_str())};
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  for (const std::string& a : spawn.args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, spawn.stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, spawn.stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (!spawn.cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, spawn.cwd.c_str());
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, spawn.program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace sonarell::testsupport
