// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The one exception of the NNTP layer: thrown at a line boundary to abandon NNTP work when
// the program closes or a worker is told to stop. Caught only by the worker procedures,
// which log its message.
#include <exception>
#include <string>
#include <string_view>

namespace qm {

class NNTPQuitException : public std::exception {
  public:
    // The message is text, " - ", detail (an empty detail still gets the " - ").
    NNTPQuitException(std::string_view text, std::string_view detail)
        : m_message(std::string(text) + " - " + std::string(detail)) {}

    int code() const { return 0; }
    const std::string& message() const { return m_message; }
    const char* what() const noexcept override { return m_message.c_str(); }

  private:
    std::string m_message;
};

}  // namespace qm
