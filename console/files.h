// Files the server opens by name, checked before they are opened. Only a
// regular file will do: a FIFO would hold the server in open until some
// program writes to it, a device reads without end (/dev/zero) or as
// nothing, and a directory as nothing. And where the data files are when
// the working directory does not hold them.
#pragma once

#include <cstdint>
#include <string>

// What is wrong with the file at path, or an empty text when it is a regular
// file of at most size_limit bytes, or nothing is there (the caller's open
// then says so, or creates it).
std::string file_problem(const std::string& path, uintmax_t size_limit = UINTMAX_MAX);

// What is wrong with a folder the operator named, or an empty text when it is
// one.
std::string folder_problem(const std::string& path);

// The data folder the build set (ZOLT_DATA_DIR): where an installed server
// finds its sample maps whatever its working directory. A relative one is
// taken from the folder of the running program, so that the .deb finds
// /usr/share/zolt-server/maps from /usr/bin and the unpacked Windows zip its
// maps folder beside the .exe. Empty when that folder cannot be found.
std::string data_folder();
extern const char* const DATA_FOLDER_SETTING;  // the folder as the build gave it

// path when something is there, or when fallback_folder is empty; otherwise
// the file of path's name in fallback_folder.
std::string locate_data_file(const std::string& path, const std::string& fallback_folder);

// path made absolute from the working directory, without "." and "..", as
// the log names a file; path itself when the working directory is unknown.
std::string full_path(const std::string& path);
