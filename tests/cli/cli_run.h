// Runs the real quillet-cli binary and collects what it prints.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace quillet::cli {

struct CliResult {
  int status = -1;
  std::string out, err;
  std::vector<std::string> lines;  // stdout, one per line
};

// `args` are passed through the shell (tests quote them); `input`, when given, is stdin.
inline CliResult Cli(const std::string& args, const std::string& input = {}) {
  static int serial = 0;
  std::string base =
      ::testing::TempDir() + "cli_" + std::to_string(::getpid()) + "_" + std::to_string(++serial);
  std::string cmd = std::string(QUILLET_CLI) + " " + args + " 2>" + base + ".err";
  if (!input.empty()) {
    std::ofstream(base + ".in", std::ios::binary) << input;
    cmd += " < " + base + ".in";
  }
  CliResult r;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  int st = pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  std::ifstream err(base + ".err");
  std::stringstream ss;
  ss << err.rdbuf();
  r.err = ss.str();
  for (size_t start = 0, nl; (nl = r.out.find('\n', start)) != std::string::npos; start = nl + 1) {
    r.lines.push_back(r.out.substr(start, nl - start));
  }
  std::remove((base + ".err").c_str());
  std::remove((base + ".in").c_str());
  return r;
}

}  // namespace quillet::cli
