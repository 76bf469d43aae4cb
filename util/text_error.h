// The module's own error: an exception that carries a message text, thrown by the property
// getters, the string splitter, the free-area bookkeeping and a failing controller
// construction, and caught where the text is logged. File errors are plat::FileException. No
// exception crosses the module boundary (util/com_barrier.h).
#pragma once

#include <exception>
#include <string>

namespace vt {

class TextError : public std::exception {
  public:
    explicit TextError(std::u16string text);
    // The message, as logged.
    const std::u16string& text() const noexcept { return text_; }
    // The message in UTF-8.
    const char* what() const noexcept override { return utf8_.c_str(); }

  private:
    std::u16string text_;
    std::string utf8_;
};

}  // namespace vt
