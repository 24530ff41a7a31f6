#pragma once

// Runs a program to its end as a child process, for the tests and benchmarks
// that start a built executable, through the product's child-process layer.

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/fs/unique_fd.h"
#include "platform/process/child_process.h"
#include "platform/process/environment.h"
#include "tests/support/scratch.h"

namespace sonarell::test {

// The caller's environment with `own` NAME=value entries replacing those of the same name.
inline std::vector<std::string> inheritedEnvironment(const std::vector<std::string>& own) {
  std::vector<std::string> env = own;
  for (const std::string& entry : process::currentEnvironment()) {
    const std::string name = entry.substr(0, entry.find('=') + 1);
    if (std::none_of(own.begin(), own.end(), [&](const std::string& o) { return o.starts_with(name); })) {
      env.push_back(entry);
    }
  }
  return env;
}

struct Spawn {
  std::string program;  // absolute path
  std::vector<std::string> args;
  std::vector<std::string> env;  // NAME=value entries that replace inherited ones
  std::string stdoutPath = "/dev/null";
  std::string stderrPath = "/dev/null";
  std::string cwd;  // empty: the caller's
};
// The exit status, 128 + the signal for a child ended by one, or -1 when it could not start.
inline int spawnAndWait(const Spawn& s) {
  const auto create = [](const std::string& path) {
    return fs::UniqueFd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  };
  const fs::UniqueFd out = create(s.stdoutPath), err = create(s.stderrPath);
  if (!out || !err) return -1;
  process::LaunchConfiguration child{s.program, s.args, inheritedEnvironment(s.env), s.cwd, out.get()};
  child.errorFd = err.get();
  const auto done = process::runToEnd(child);
  return done ? done.value().code : -1;
}

struct RunResult {
  int status = -1;     // exit status, or 128 + signal
  std::string output;  // standard output and standard error, interleaved
};
// Runs argv[0] (an absolute path) with exactly this environment, in `cwd`, and
// collects both output streams; a program that cannot start throws. The streams
// go to an unnamed file, so a grandchild that keeps them open holds nothing up.
inline RunResult run(const std::vector<std::string>& argv, const std::vector<std::string>& environment,
                     const std::string& cwd) {
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::tmpfile(), &std::fclose);
  if (!file) throw std::runtime_error("tmpfile");
  const auto done =
      process::runToEnd({argv.at(0), {argv.begin() + 1, argv.end()}, environment, cwd, fileno(file.get())});
  if (!done) throw std::system_error(done.error().posixError, std::generic_category(), "start " + argv[0]);
  std::fseek(file.get(), 0, SEEK_END);
  std::string output(static_cast<std::size_t>(std::ftell(file.get())), '\0');
  std::rewind(file.get());
  output.resize(std::fread(output.data(), 1, output.size(), file.get()));
  return {done.value().code, output};
}

}  // namespace sonarell::test
