// Status chains: the items of one output port followed by the items of the
// devices hanging behind it, in line order.
#include "discovery/find.h"

#include <arpa/inet.h>

#include <cstring>
#include <utility>

namespace VELLORA {
namespace {

bool sameBytes(const KALMO::IPAddress& a, const KALMO::IPAddress& b) {
  return std::memcmp(a.address, b.address, sizeof a.address) == 0;
}

bool sameEndpoint(const KALMO::IPAddress& a, const KALMO::IPAddress& b) { return a.comp(b) == 0; }

Find::StatusSortSt element(const KALMO::IPAddress& key, const Find::TargetStatusInfo& item, uint8_t ownPort) {
  Find::StatusSortSt e;
  e.productID = item.productID;
  e.index = item.index;
  e.version = item.version;
  e.targetName = item.targetName;
  e.kind = item.kind;
  e.linkAddress = item.linkAddress;
  e.itemName = item.itemName;
  e.controlAddress = key;
  e.chainEnd = 1;
  e.ownPort = ownPort;
  return e;
}

}  // namespace

void Find::SortStatus(KALMO::IPAddress port, uint16_t portIndex, bool kind1, const StatusMap& items,
                      StatusSort& chain) {
  chain.clear();
  const uint16_t ownKind = kind1 ? 1 : 2;
  const bool portIsLoopback = port.isLoopback();

  for (const auto& [key, item] : items) {
    if (item.kind != ownKind || !item.linkAddress.isLoopback()) continue;
    if (!sameBytes(key, port) || key.interfaceIndex != port.interfaceIndex) continue;
    if (ntohs(item.linkAddress.port) != portIndex) continue;
    chain.push_back(element(key, item, 1));
  }

  // Each pass may hang further devices on what earlier passes (or earlier
  // items of this pass) added; every item enters at most once, so the passes
  // end.
  bool inserted = !chain.empty();
  while (inserted) {
    inserted = false;
    for (const auto& [key, item] : items) {
      if (item.kind != 0 || item.linkAddress.isLoopback()) continue;
      if (!portIsLoopback && !key.isLoopback() && key.interfaceIndex != port.interfaceIndex) continue;
      if (chain.find(key) != chain.end()) continue;
      const uint16_t linkIndex = ntohs(item.linkAddress.port);
      for (auto n = chain.begin(); n != chain.end(); ++n) {
        if (n->index != linkIndex || !sameBytes(n->controlAddress, item.linkAddress)) continue;
        n->chainEnd = 0;
        chain.insert(std::next(n), element(key, item, 0));
        inserted = true;
        break;
      }
    }
  }
}

Find::StatusSort::const_iterator Find::StatusSort::find(KALMO::IPAddress key) const {
  for (auto it = begin(); it != end(); ++it) {
    if (sameEndpoint(it->controlAddress, key)) return it;
  }
  return end();
}

Find::StatusSort::iterator Find::StatusSort::find(KALMO::IPAddress key) {
  const const_iterator found = std::as_const(*this).find(key);
  return erase(found, found);  // the same position, writable
}

bool Find::StatusSort::operator==(const StatusSort& other) const {
  if (size() != other.size()) return false;
  for (auto a = begin(), b = other.begin(); a != end(); ++a, ++b) {
    if (!sameEndpoint(a->controlAddress, b->controlAddress) || !sameEndpoint(a->linkAddress, b->linkAddress) ||
        a->index != b->index) {
      return false;
    }
  }
  return true;
}

}  // namespace VELLORA
