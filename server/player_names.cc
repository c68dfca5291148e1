#include "server/player_names.h"

#include "net/address.h"

std::vector<std::string> player_name_table(const Options& options) {
  std::vector<std::string> table = options.names;
  for (const Options::AddressName& named : options.address_names) table.push_back(named.name);
  return table;
}

int32_t player_name_id(const Options& options, int32_t index, const std::string& peer) {
  uint32_t address = 0;
  if (!peer.empty() && parse_dotted_ipv4(peer.substr(0, peer.find(':')), &address)) {
    for (size_t a = 0; a < options.address_names.size(); ++a) {
      if (options.address_names[a].address == address) {
        return static_cast<int32_t>(options.names.size() + a);
      }
    }
  }
  if (index >= 0 && static_cast<size_t>(index) < options.names.size() &&
      !options.names[static_cast<size_t>(index)].empty()) {
    return index;
  }
  return -1;
}

std::string player_name(const Options& options, int32_t index, const std::string& peer) {
  const int32_t id = player_name_id(options, index, peer);
  if (id < 0) return "";
  const auto at = static_cast<size_t>(id);
  return at < options.names.size() ? options.names[at]
                                   : options.address_names[at - options.names.size()].name;
}
