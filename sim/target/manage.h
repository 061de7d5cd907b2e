#pragma once
// What a stand-in target answers about itself: firmware version and
// location, numbered information items of one or more pages, and the reboot
// request; and its two settings lists (target and sink) of every kind, with
// values, texts and choice names, reads, writes and the finale.
//
//   vsim::ManageSpec plan;
//   plan.info = {{1, {"page one", "page two"}}};
//   plan.targetSettings.items = {{"Volume", 2, 0xFFF6, 0x000A, 0xFFFB}};
//   vsim::ManageSim target(engine, ep, plan);
//   ... Find::Infomation(engine.address(ep), 1, pages) ...
//   target.writes(false)   // what the host wrote into the target list

#include "sim/target/manage_fault.h"
#include "sim/target/manage_handlers.h"
#include "sim/target/target_sim.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace vsim {

struct InfoItemSpec {
  uint16_t item = 1;
  std::vector<std::string> pages;  // texts or raw bytes
  int reportedPages = -1;          // option2 of the page-0 answer; -1: pages.size()
  Fault fault;                     // counted over this item's answers
};

struct SettingSpec {
  std::string name = "setting";
  uint16_t kind = 1;  // option1 of the item answer
  uint16_t low = 0;   // option2 of it
  uint16_t high = 0;  // option3 of it
  uint16_t value = 0;
  uint16_t valueExtra = 0;
  std::string text;
  std::map<uint16_t, std::string> choices;  // by choice number; missing ones are empty
  Fault itemFault, valueFault, choiceFault;
};

struct SettingsListSpec {
  std::vector<SettingSpec> items;
  // Count answered; -1: items.size(). Items past `items` are answered as
  // plain numbers named "item <i>".
  int reportedCount = -1;
  Fault countFault;
  Fault writeFault;
};

struct ManageSpec {
  std::string fwVersion = "1.0.0";
  std::string fwUrl = "http://target.local/firmware";
  Fault fwFault, urlFault, rebootFault;
  int rebootAnswer = -1;  // option0 of the reboot answer; -1: the value received
  std::vector<InfoItemSpec> info;  // items not listed are refused
  SettingsListSpec targetSettings;
  SettingsListSpec sinkSettings;
};

// One write into a settings list (option0 0: the finale).
struct SettingWrite {
  uint16_t item = 0;
  uint16_t mode = 0;  // option1
  uint16_t number = 0;
  std::string text;
};

class ManageSim {
 public:
  ManageSim(TargetSim& engine, EndpointId endpoint, const ManageSpec& plan);

  // Values of the reboot requests, in order.
  std::vector<uint16_t> reboots() const;
  // Writes and finales of one list, in order.
  std::vector<SettingWrite> writes(bool sink) const;
  // An item of a list as it stands after the writes (1-based).
  SettingSpec setting(bool sink, uint16_t item) const;

 private:
  struct State;
  std::shared_ptr<State> state_;
  EndpointHandlers handlers_;  // after state_: removed first
};

}  // namespace vsim
