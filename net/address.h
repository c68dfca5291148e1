// IPv4 addresses as the operator writes them: dotted text, and networks as
// address/prefix (CIDR) for the list of who may join.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Four decimal numbers 0..255 joined by dots, and nothing else; a leading
// zero is refused (some address readers take "010" as octal 8). The address
// as a number, the first part in the top byte.
bool parse_dotted_ipv4(const std::string& text, uint32_t* address);

struct Ipv4Network {
  uint32_t address = 0;  // with the bits outside the prefix cleared
  uint32_t mask = 0;
};

// "192.168.1.0/24,10.0.0.7": networks joined by commas, a bare address being
// /32. Returns what is wrong, or an empty text when every part holds.
std::string parse_ipv4_networks(const std::string& text, std::vector<Ipv4Network>* networks);

// Whether the dotted address lies in one of the networks.
bool in_networks(const std::vector<Ipv4Network>& networks, const char* dotted);
