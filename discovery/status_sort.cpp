// Status chains: the items of one output port followed by the items of the
// devices hanging behind it, in line order.
#include "discovery/find.h"

#include <arpa/inet.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <map>
#include <set>
#include <utility>
#include <vector>

namespace VELLORA {
namespace {

bool sameBytes(const KALMO::IPAddress& a, const KALMO::IPAddress& b) {
  return std::memcmp(a.address, b.address, sizeof a.address) == 0;
}

bool sameEndpoint(const KALMO::IPAddress& a, const KALMO::IPAddress& b) { return a.comp(b) == 0; }

// What a linked item names: the address bytes of an element's control
// address and that element's index.
using LinkKey = std::pair<std::array<uint8_t, 16>, uint16_t>;

LinkKey linkKey(const KALMO::IPAddress& a, uint16_t index) {
  LinkKey k;
  std::memcpy(k.first.data(), a.address, k.first.size());
  k.second = index;
  return k;
}

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

  // Linked items, in passes over the map in its order, as long as a pass
  // adds something; an element added is visible to the items after it in
  // the same pass, and every item enters at most once. A line reported
  // against the map order adds one device per pass, so walking the whole
  // map in every pass would take a time cubic in the item count. The passes
  // are followed turn by turn instead: an item is added at the first turn
  // (pass, its place in the map) at which the chain holds what it hangs on,
  // which is fixed the moment that element is added.
  using Turn = std::pair<size_t, size_t>;  // pass, place among `waiting`
  std::vector<const StatusMap::value_type*> waiting;
  std::map<LinkKey, std::vector<size_t>> hangingOn;  // places of the items naming a pair
  for (const auto& entry : items) {
    const KALMO::IPAddress& key = entry.first;
    const TargetStatusInfo& item = entry.second;
    if (item.kind != 0 || item.linkAddress.isLoopback()) continue;
    if (!portIsLoopback && !key.isLoopback() && key.interfaceIndex != port.interfaceIndex) continue;
    hangingOn[linkKey(item.linkAddress, ntohs(item.linkAddress.port))].push_back(waiting.size());
    waiting.push_back(&entry);
  }
  if (chain.empty() || waiting.empty()) return;

  // Elements of the chain by (address bytes, index).
  std::map<LinkKey, std::vector<StatusSort::iterator>> held;
  std::set<Turn> turns;
  // `e` has joined the chain at turn (pass, place); the items hanging on its
  // pair, if it is the first with it, join at their turn in this pass when
  // they come after it, else in the next pass.
  const auto joined = [&](StatusSort::iterator e, size_t pass, size_t place) {
    const LinkKey k = linkKey(e->controlAddress, e->index);
    std::vector<StatusSort::iterator>& same = held[k];
    same.push_back(e);
    if (same.size() != 1) return;
    const auto h = hangingOn.find(k);
    if (h == hangingOn.end()) return;
    for (size_t at : h->second) turns.emplace(at > place ? pass : pass + 1, at);
  };
  // Own items are there before the first pass starts.
  for (auto e = chain.begin(); e != chain.end(); ++e) joined(e, 0, SIZE_MAX);

  while (!turns.empty()) {
    const auto [pass, place] = *turns.begin();
    turns.erase(turns.begin());
    const auto& [key, item] = *waiting[place];
    const uint16_t linkIndex = ntohs(item.linkAddress.port);
    const std::vector<StatusSort::iterator>& candidates = held[linkKey(item.linkAddress, linkIndex)];
    // The first such element from the start of the chain.
    auto n = candidates.front();
    if (candidates.size() > 1) {
      for (n = chain.begin(); n->index != linkIndex || !sameBytes(n->controlAddress, item.linkAddress); ++n) {
      }
    }
    n->chainEnd = 0;
    joined(chain.insert(std::next(n), element(key, item, 0)), pass, place);
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
