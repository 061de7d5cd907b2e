// Target and sink settings lists: reading a whole list item by item, writing
// one item, and the closing finale request. The target list uses the codes
// from TARGETSETTING_REQ on, the sink list those from SINKSETTING_REQ on:
// base = list request, base + 1 its answer, base + 2 the value request,
// base + 3 its answer.
#include "discovery/find.h"

#include "base/syslog.h"

#include <algorithm>
#include <cstdint>
#include <utility>

namespace VELLORA {
namespace {

// option1 of a value request.
constexpr uint16_t kRead = 0;
constexpr uint16_t kWrite = 1;
constexpr uint16_t kReadMode = 2;
constexpr uint16_t kChoiceName = 3;
// option1 of the finale.
constexpr uint16_t kFinale = 1;
constexpr uint16_t kNoFinale = 2;

MessageID offset(MessageID base, uint16_t by) { return static_cast<MessageID>(base + by); }

// What a list answer's kind makes of an item.
struct Kind {
  int32_t type = 0;
  bool sign = false;     // range and values sign-extended from 16 bits
  bool range = false;    // min, max from option2, option3
  bool onOff = false;    // min, max fixed 0, 1
  bool text = false;     // text from the value answer
  bool choices = false;  // names of min .. max
};

Kind kindOf(uint16_t kind) {
  switch (kind) {
    case 1: return Kind{2, false, true, false, false, false};
    case 2: return Kind{2, true, true, false, false, false};
    case 3: return Kind{3, false, false, true, false, true};
    case 4: return Kind{1, false, false, false, true, false};
    case 5: return Kind{4, false, true, false, false, true};
    case 6: return Kind{5, false, true, false, true, true};
    case 7: return Kind{6, false, true, false, false, false};
    default: return Kind{};
  }
}

int32_t extend(uint16_t word, bool sign) { return sign ? static_cast<int16_t>(word) : word; }

// One exchange about item `item`: accepted by the target and about that item.
bool askItem(Find& find, const KALMO::IPAddress& target, MessageID request, uint16_t item, uint16_t option1,
             uint16_t option2, Receive& answer) {
  const Send send(request, 0, item, option1, option2, 0);
  return find.sendAck(target, send, offset(request, 1), answer, true) == Find::ACK_OK &&
         answer.getOption0() == item;
}

// Takes an answer's text into `text` while the list stays within its budget.
bool takeText(const Receive& answer, std::string& text, size_t& held) {
  held += static_cast<size_t>(answer.size_data());
  if (held > Find::MAX_SETTING_TEXT) return false;
  answer.get_str(text);
  return true;
}

}  // namespace

bool Find::_TargetSetting(KALMO::IPAddress target, MessageID base, TargetSettingList& list, bool mode) {
  list.clear();
  const MessageID valueRequest = offset(base, 2);
  Receive answer;
  const Send countRequest(base, 0, 0, 0, 0, 0);
  if (sendAck(target, countRequest, offset(base, 1), answer, true) != ACK_OK) return false;
  // A target's count alone must not make us run tens of thousands of
  // exchanges; items past the cap are not read, and the caller is told.
  const uint16_t given = answer.getOption0();
  const uint16_t count = std::min(given, MAX_SETTING_ITEMS);
  if (given > count) {
    std::string where;
    target.get_str(where);
    KALMO::SysLog::WARNING << "Vellora Find setting count over limit : " << where << " " << given << ">"
                           << MAX_SETTING_ITEMS;
  }
  size_t held = 0;
  for (uint16_t i = 1; i <= count; ++i) {
    if (!askItem(*this, target, base, i, 0, 0, answer)) return false;
    TargetSettingInfo item;
    if (!takeText(answer, item.name, held)) return false;
    const Kind kind = kindOf(answer.getOption1());
    item.type = kind.type;
    if (kind.range) {
      item.min = extend(answer.getOption2(), kind.sign);
      item.max = extend(answer.getOption3(), kind.sign);
    } else if (kind.onOff) {
      item.max = 1;
    }

    const uint16_t read = mode && item.type != 5 ? kReadMode : kRead;
    if (!askItem(*this, target, valueRequest, i, read, 0, answer)) return false;
    if (kind.text && !takeText(answer, item.text, held)) return false;
    item.value = extend(answer.getOption1(), kind.sign);
    item.valueExtra = extend(answer.getOption3(), kind.sign);

    if (kind.choices && item.min <= item.max) {
      // Only the names of the first choices are held; the range stays the
      // target's, as a value past the names held is still one it takes.
      const int64_t range = int64_t{item.max} - item.min + 1;
      int32_t last = item.max;
      if (range > MAX_SETTING_CHOICES) {
        last = item.min + MAX_SETTING_CHOICES - 1;
        std::string where;
        target.get_str(where);
        KALMO::SysLog::WARNING << "Vellora Find setting choices over limit : " << where << " item " << i << " "
                               << range << ">" << MAX_SETTING_CHOICES;
      }
      for (int32_t j = item.min; j <= last; ++j) {
        if (!askItem(*this, target, valueRequest, i, kChoiceName, static_cast<uint16_t>(j), answer)) return false;
        std::string& choice = item.choices.emplace_back();
        if (!takeText(answer, choice, held)) return false;
        if (kind.onOff && choice.empty()) choice = j == 0 ? "disable" : "enable";
      }
    }
    list.push_back(std::move(item));
  }
  return true;
}

bool Find::TargetSetting(KALMO::IPAddress target, TargetSettingList& list, bool mode) {
  return _TargetSetting(target, TARGETSETTING_REQ, list, mode);
}

bool Find::SinkSetting(KALMO::IPAddress target, TargetSettingList& list, bool mode) {
  return _TargetSetting(target, SINKSETTING_REQ, list, mode);
}

bool Find::_setTargetSetting(KALMO::IPAddress target, MessageID base, uint16_t item, const std::string& text,
                             uint16_t number) {
  SendBuffer request;
  if (!request.set_str(text)) return false;
  request.set(offset(base, 2), 0, item, kWrite, number, 0);
  request.update();
  Receive answer;
  return sendAck(target, request, offset(base, 3), answer, true) == ACK_OK;
}

bool Find::_setTargetSetting(KALMO::IPAddress target, MessageID base, uint16_t item, const std::string& text) {
  return _setTargetSetting(target, base, item, text, 0);
}

bool Find::_setTargetSetting(KALMO::IPAddress target, MessageID base, uint16_t item, uint16_t number) {
  return _setTargetSetting(target, base, item, std::string(), number);
}

bool Find::setTargetSetting(KALMO::IPAddress target, uint16_t item, const std::string& text, uint16_t number) {
  return _setTargetSetting(target, TARGETSETTING_REQ, item, text, number);
}

bool Find::setTargetSetting(KALMO::IPAddress target, uint16_t item, const std::string& text) {
  return _setTargetSetting(target, TARGETSETTING_REQ, item, text);
}

bool Find::setTargetSetting(KALMO::IPAddress target, uint16_t item, uint16_t number) {
  return _setTargetSetting(target, TARGETSETTING_REQ, item, number);
}

bool Find::setSinkSetting(KALMO::IPAddress target, uint16_t item, const std::string& text, uint16_t number) {
  return _setTargetSetting(target, SINKSETTING_REQ, item, text, number);
}

bool Find::setSinkSetting(KALMO::IPAddress target, uint16_t item, const std::string& text) {
  return _setTargetSetting(target, SINKSETTING_REQ, item, text);
}

bool Find::setSinkSetting(KALMO::IPAddress target, uint16_t item, uint16_t number) {
  return _setTargetSetting(target, SINKSETTING_REQ, item, number);
}

bool Find::_TargetSettingFinale(KALMO::IPAddress target, MessageID base, bool finale) {
  const Send request(offset(base, 2), 0, 0, finale ? kFinale : kNoFinale, 0, 0);
  Receive answer;
  return sendAck(target, request, offset(base, 3), answer, true) == ACK_OK;
}

bool Find::TargetSettingFinale(KALMO::IPAddress target, bool finale) {
  return _TargetSettingFinale(target, TARGETSETTING_REQ, finale);
}

bool Find::SinkSettingFinale(KALMO::IPAddress target, bool finale) {
  return _TargetSettingFinale(target, SINKSETTING_REQ, finale);
}

}  // namespace VELLORA
