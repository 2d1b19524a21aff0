#pragma once
// A failure of the editor: a number and the text shown to the user. 100 a field that
// fails validation, 500 a failed write of the region file, 5000 the region database,
// 5001 a missing file or a refused operation.
#include <stdexcept>
#include <string>

namespace quillmark {

inline constexpr int kErrValidation = 100;
inline constexpr int kErrWrite = 500;
inline constexpr int kErrRegionDb = 5000;
inline constexpr int kErrRefused = 5001;

class QuillError : public std::runtime_error {
 public:
  QuillError(int number, const std::string& text) : std::runtime_error(text), number_(number) {}
  int Number() const { return number_; }

 private:
  int number_;
};

}  // namespace quillmark
