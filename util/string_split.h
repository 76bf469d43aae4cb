// Splits a text at every occurrence of a separator; empty pieces are kept. Not thread-safe.
#pragma once

#include <string>
#include <vector>

namespace vt {

class CStringSplit {
  public:
    // A text without the separator gives one piece, the text itself (also when it is empty).
    CStringSplit(const std::u16string& text, char16_t separator);
    // Throws TextError "Programming error split is empty in CStringSplit" for an empty
    // separator.
    CStringSplit(const std::u16string& text, const std::u16string& separator);
    virtual ~CStringSplit() = default;

    int getCount() const { return static_cast<int>(pieces_.size()); }
    std::u16string getAt(int index) const { return pieces_.at(static_cast<size_t>(index)); }
    const std::vector<std::u16string>& pieces() const { return pieces_; }

  private:
    std::vector<std::u16string> pieces_;
};

}  // namespace vt
