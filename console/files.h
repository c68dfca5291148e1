// Files the server opens by name, checked before they are opened. Only a
// regular file will do: a FIFO would hold the server in open until some
// program writes to it, a device reads without end (/dev/zero) or as
// nothing, and a directory as nothing.
#pragma once

#include <cstdint>
#include <string>

// What is wrong with the file at path, or an empty text when it is a regular
// file of at most size_limit bytes, or nothing is there (the caller's open
// then says so, or creates it).
std::string file_problem(const std::string& path, uintmax_t size_limit = UINTMAX_MAX);
