// File-name patterns of `pav512 get --pattern`:
//   %n  the file's number in `pav512 ls`      %3n  the same, zero-padded to 3 digits
//   %c  a counter of the files this run writes (from 1)   %4c  zero-padded
//   %f  the camera's own name of the file     %k  its kind: picture, sound, clip
//   %e  its extension: jpg, wav, avi          %%  a percent sign
// A pattern may name subfolders ("%k/%f.%e"), never absolute paths or "..".
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace pav512 {

struct FileFields {
    std::size_t number = 0;
    std::size_t counter = 0;
    std::string name;       // the camera's name, without extension
    std::string kind;       // picture, sound, clip
    std::string extension;  // jpg, wav, avi
};

class Pattern {
  public:
    static constexpr const char* kDefault = "%f.%e";

    // Compiles `text`; on a bad pattern answers false with `error` set to one
    // sentence.
    bool compile(const std::string& text, std::string* error);
    // The relative path for one file. Characters of the fields that would
    // leave the folder ('/', a leading '.') are replaced by '_'.
    std::string render(const FileFields& fields) const;
    const std::string& text() const { return text_; }

  private:
    struct Piece {
        char code = 0;  // 0: literal
        int width = 0;
        std::string literal;
    };
    std::string text_;
    std::vector<Piece> pieces_;
};

}  // namespace pav512
