#include "console/files.h"

#include <filesystem>
#include <system_error>

#include "console/console.h"

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

std::string folder_problem(const std::string& path) {
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::status(path, error);
  if (!std::filesystem::exists(status)) return "no such folder";
  if (!std::filesystem::is_directory(status)) return "not a folder";
  return {};
}

const char* const DATA_FOLDER_SETTING = ZOLT_DATA_DIR;

std::string data_folder() {
  const std::filesystem::path configured = DATA_FOLDER_SETTING;
  if (configured.is_absolute()) return configured.lexically_normal().string();
  const std::string program = program_folder();
  if (program.empty()) return {};
  return (std::filesystem::path(program) / configured).lexically_normal().string();
}

std::string locate_data_file(const std::string& path, const std::string& fallback_folder) {
  std::error_code error;
  if (fallback_folder.empty() ||
      std::filesystem::exists(std::filesystem::symlink_status(path, error)))
    return path;
  return (std::filesystem::path(fallback_folder) / std::filesystem::path(path).filename()).string();
}

std::string full_path(const std::string& path) {
  std::error_code error;
  const std::filesystem::path absolute = std::filesystem::absolute(path, error);
  return error ? path : absolute.lexically_normal().string();
}
