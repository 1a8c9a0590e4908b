#pragma once

#include <string>
#include <utility>

namespace quorvel {

// A failure inside the module that no caller can handle: a broken invariant
// or an interpreter call that could not create an object. It unwinds to the
// entry point, releasing every reference on the way, and is raised there as
// PanicException. It never crosses into the interpreter as a C++ exception.
class InternalFailure {
 public:
  explicit InternalFailure(std::string message) noexcept : message_(std::move(message)) {}
  std::string& message() noexcept { return message_; }

 private:
  std::string message_;
};

// An interpreter call that creates an object returned null: prints the
// pending error and ends the current operation as an internal failure.
[[noreturn]] void api_call_failed();

}  // namespace quorvel
