#include "net/address.h"

#include "net/decimal.h"

bool parse_dotted_ipv4(const std::string& text, uint32_t* address) {
  size_t at = 0;
  uint32_t result = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (at >= text.size() || text[at] != '.') return false;
      ++at;
    }
    const size_t start = at;
    uint32_t value = 0;
    while (at < text.size() && at - start < 3 && is_digit(text[at])) {
      value = value * 10 + static_cast<uint32_t>(text[at] - '0');
      ++at;
    }
    const size_t digits = at - start;
    if (digits == 0 || value > 255 || (digits > 1 && text[start] == '0')) return false;
    result = result << 8 | value;
  }
  if (at != text.size()) return false;
  *address = result;
  return true;
}

std::string parse_ipv4_networks(const std::string& text, std::vector<Ipv4Network>* networks) {
  std::vector<Ipv4Network> parsed;
  size_t start = 0;
  for (;;) {
    const size_t comma = text.find(',', start);
    const std::string part =
        text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    const size_t slash = part.find('/');
    uint32_t address = 0;
    int prefix = 32;
    if (!parse_dotted_ipv4(part.substr(0, slash), &address)) {
      return "not a dotted IPv4 address or network: '" + part + "'";
    }
    if (slash != std::string::npos) {
      const std::string bits = part.substr(slash + 1);
      prefix = -1;
      if (!bits.empty() && bits.size() <= 2 && is_digit(bits[0]) &&
          (bits.size() == 1 || (bits[0] != '0' && is_digit(bits[1])))) {
        prefix = std::stoi(bits);
      }
      if (prefix < 0 || prefix > 32) return "not a prefix length 0..32: '" + part + "'";
    }
    const uint32_t mask = prefix == 0 ? 0 : ~uint32_t{0} << (32 - prefix);
    parsed.push_back({address & mask, mask});
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  *networks = parsed;
  return std::string();
}

bool in_networks(const std::vector<Ipv4Network>& networks, const char* dotted) {
  uint32_t address = 0;
  if (!parse_dotted_ipv4(dotted, &address)) return false;
  for (const Ipv4Network& network : networks) {
    if ((address & network.mask) == network.address) return true;
  }
  return false;
}
