#include "sim/target/manage.h"

#include <mutex>

namespace vsim {
namespace {

constexpr uint16_t kRead = 0;
constexpr uint16_t kWrite = 1;
constexpr uint16_t kReadMode = 2;
constexpr uint16_t kChoiceName = 3;

std::vector<uint8_t> bytesOf(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

// One settings list with the running counts of its faults.
struct List {
  SettingsListSpec plan;
  FaultCount count, write;
  std::map<uint16_t, FaultCount> itemCounts, valueCounts, choiceCounts;  // by item
  std::vector<SettingWrite> writes;

  uint16_t size() const {
    return static_cast<uint16_t>(plan.reportedCount >= 0 ? plan.reportedCount : static_cast<int>(plan.items.size()));
  }
  // The item i (1-based), or nullptr past the listed ones.
  SettingSpec* item(uint16_t i) {
    return i >= 1 && i <= plan.items.size() ? &plan.items[static_cast<size_t>(i - 1)] : nullptr;
  }
};

}  // namespace

struct ManageSim::State {
  mutable std::mutex mu;
  ManageSpec plan;
  FaultCount fw, url, reboot;
  std::map<uint16_t, FaultCount> infoCounts;  // by item
  std::vector<uint16_t> reboots;
  List lists[2];  // target, sink

  void info(TargetSim& engine, const Datagram& d) {
    const uint16_t item = d.option0();
    const uint16_t page = d.option1();
    for (const InfoItemSpec& i : plan.info) {
      if (i.item != item) continue;
      if (page >= i.pages.size()) break;
      const int pages = i.reportedPages >= 0 ? i.reportedPages : static_cast<int>(i.pages.size());
      answerWith(engine, d, VELLORA::INFOMATION_ANS,
                 options(item, page, page == 0 ? static_cast<uint16_t>(pages) : 0, 0), bytesOf(i.pages[page]),
                 i.fault, infoCounts[item].next(i.fault));
      return;
    }
    engine.reply(d, Answer{-1, 0, options(item, page, 0, 0), {}});
  }

  void listRequest(TargetSim& engine, const Datagram& d, List& list) {
    const uint16_t i = d.option0();
    const auto answer = static_cast<uint16_t>(d.code + 1);
    if (i == 0) {
      answerWith(engine, d, answer, options(list.size(), 0, 0, 0), {}, list.plan.countFault,
                 list.count.next(list.plan.countFault));
      return;
    }
    if (const SettingSpec* s = list.item(i)) {
      answerWith(engine, d, answer, options(i, s->kind, s->low, s->high), bytesOf(s->name), s->itemFault,
                 list.itemCounts[i].next(s->itemFault));
    } else if (i <= list.size()) {
      engine.reply(d, Answer{-1, VELLORA::STATUS_ACK, options(i, 1, 0, 0), bytesOf("item " + std::to_string(i))});
    } else {
      engine.reply(d, Answer{-1, 0, options(i, 0, 0, 0), {}});
    }
  }

  void valueRequest(TargetSim& engine, const Datagram& d, List& list) {
    const uint16_t i = d.option0();
    const uint16_t mode = d.option1();
    const auto answer = static_cast<uint16_t>(d.code + 1);
    if (i == 0 || mode == kWrite) {
      list.writes.push_back(SettingWrite{i, mode, d.option2(), d.text()});
      SettingSpec* s = list.item(i);
      if (s != nullptr && mode == kWrite) {
        s->value = d.option2();
        s->text = d.text();
      }
      answerWith(engine, d, answer, options(i, mode, d.option2(), 0), {}, list.plan.writeFault,
                 list.write.next(list.plan.writeFault));
      return;
    }
    SettingSpec plain;
    const SettingSpec* s = list.item(i);
    if (s == nullptr && i <= list.size()) s = &plain;
    if (s == nullptr || (mode != kRead && mode != kReadMode && mode != kChoiceName)) {
      engine.reply(d, Answer{-1, 0, options(i, mode, 0, 0), {}});
      return;
    }
    if (mode == kChoiceName) {
      const auto c = s->choices.find(d.option2());
      answerWith(engine, d, answer, options(i, mode, d.option2(), 0),
                 bytesOf(c != s->choices.end() ? c->second : std::string()), s->choiceFault,
                 list.choiceCounts[i].next(s->choiceFault));
      return;
    }
    answerWith(engine, d, answer, options(i, s->value, 0, s->valueExtra), bytesOf(s->text), s->valueFault,
               list.valueCounts[i].next(s->valueFault));
  }
};

ManageSim::ManageSim(TargetSim& engine, EndpointId endpoint, const ManageSpec& plan)
    : state_(std::make_shared<State>()), handlers_(engine, endpoint) {
  state_->plan = plan;
  state_->lists[0].plan = plan.targetSettings;
  state_->lists[1].plan = plan.sinkSettings;
  handlers_.serve(VELLORA::FWVERSION_REQ, state_, [](State& s, TargetSim& e, const Datagram& d) {
    answerWith(e, d, VELLORA::FWVERSION_ANS, 0, bytesOf(s.plan.fwVersion), s.plan.fwFault, s.fw.next(s.plan.fwFault));
  });
  handlers_.serve(VELLORA::FWURL_REQ, state_, [](State& s, TargetSim& e, const Datagram& d) {
    answerWith(e, d, VELLORA::FWURL_ANS, 0, bytesOf(s.plan.fwUrl), s.plan.urlFault, s.url.next(s.plan.urlFault));
  });
  handlers_.serve(VELLORA::INFOMATION_REQ, state_, [](State& s, TargetSim& e, const Datagram& d) { s.info(e, d); });
  handlers_.serve(VELLORA::REBOOT_REQ, state_, [](State& s, TargetSim& e, const Datagram& d) {
    s.reboots.push_back(d.option0());
    const uint16_t echoed = s.plan.rebootAnswer >= 0 ? static_cast<uint16_t>(s.plan.rebootAnswer) : d.option0();
    answerWith(e, d, VELLORA::REBOOT_ANS, options(echoed, 0, 0, 0), {}, s.plan.rebootFault,
               s.reboot.next(s.plan.rebootFault));
  });
  const VELLORA::MessageID bases[2] = {VELLORA::TARGETSETTING_REQ, VELLORA::SINKSETTING_REQ};
  for (int l = 0; l < 2; ++l) {
    handlers_.serve(bases[l], state_,
                    [l](State& s, TargetSim& e, const Datagram& d) { s.listRequest(e, d, s.lists[l]); });
    handlers_.serve(static_cast<uint16_t>(bases[l] + 2), state_,
                    [l](State& s, TargetSim& e, const Datagram& d) { s.valueRequest(e, d, s.lists[l]); });
  }
}

std::vector<uint16_t> ManageSim::reboots() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->reboots;
}

std::vector<SettingWrite> ManageSim::writes(bool sink) const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->lists[sink ? 1 : 0].writes;
}

SettingSpec ManageSim::setting(bool sink, uint16_t item) const {
  std::lock_guard<std::mutex> lock(state_->mu);
  const SettingSpec* s = state_->lists[sink ? 1 : 0].item(item);
  return s != nullptr ? *s : SettingSpec{};
}

}  // namespace vsim
