#include "cli/output.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

namespace kelpa::cli {

namespace {

// main() ignores SIGPIPE, so that a closed output is seen here as EPIPE,
// on the thread that writes, whatever disposition the program inherited.
[[noreturn]] void end_by_sigpipe() {
    std::signal(SIGPIPE, SIG_DFL);
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_UNBLOCK, &pipe, nullptr);
    std::raise(SIGPIPE);
    std::_Exit(128 + SIGPIPE);  // not reached: the default action ends the process
}

}  // namespace

Output::Output(core::UniqueFd fd, bool owned, std::string name)
    : fd_(std::move(fd)),
      out_(owned ? fd_.get() : 1),
      name_(std::move(name)),
      buffer_(new char[2 * BLOCK]),
      size_(2 * BLOCK) {}

std::optional<Output> Output::open(const std::string& path, std::string& error) {
    if (path.empty()) return Output(core::UniqueFd(), false, "standard output");
    core::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!fd.valid()) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    return Output(std::move(fd), true, path);
}

void Output::make_room(std::size_t n) {
    flush();
    if (size_ < n) {
        buffer_.reset(new char[n]);
        size_ = n;
    }
}

bool Output::flush() {
    write_all(buffer_.get(), used_);
    used_ = 0;
    return ok();
}

bool Output::write_through(const char* data, std::size_t n) {
    if (flush()) write_all(data, n);
    return ok();
}

void Output::write_all(const char* p, std::size_t left) {
    while (left > 0 && ok()) {
        const ssize_t n = ::write(out_, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EPIPE) end_by_sigpipe();
            error_ = "cannot write " + name_ + ": " + std::strerror(errno);
            return;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

}  // namespace kelpa::cli
