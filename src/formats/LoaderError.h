#pragma once
// Unexpected failures: a file that will not open, a position outside an image,
// an arithmetic overflow. Each carries a description a technician can act on
// ("Cannot open /cards/app.sr: no such file") and the operation it came from.
#include <stdexcept>
#include <string>

namespace ostra {

class LoaderError : public std::runtime_error {
 public:
  LoaderError(const std::string& description, std::string source)
      : std::runtime_error(description), source_(std::move(source)) {}
  const std::string& source() const noexcept { return source_; }

 private:
  std::string source_;
};

}  // namespace ostra
