#include "console/files.h"

#include <filesystem>
#include <system_error>

std::string file_problem(const std::string& path, uintmax_t size_limit) {
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::status(path, error);
  if (!std::filesystem::exists(status)) return {};
  if (!std::filesystem::is_regular_file(status)) return "not a regular file";
  const uintmax_t size = std::filesystem::file_size(path, error);
  if (!error && size > size_limit) {
    return "larger than " + std::to_string(size_limit) + " bytes";
  }
  return {};
}
