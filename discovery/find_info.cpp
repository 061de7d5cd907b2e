// Firmware version and location, numbered information items (one text, raw
// bytes, or a list of pages) and the reboot request.
#include "discovery/find.h"

#include "base/syslog.h"

#include <algorithm>

namespace VELLORA {
namespace {

// One exchange that only counts when accepted by the target itself.
bool ask(Find& find, const KALMO::IPAddress& target, MessageID request, uint16_t option0, uint16_t option1,
         Receive& answer) {
  const Send send(request, 0, option0, option1, 0, 0);
  return find.sendAck(target, send, answerOf(request), answer, true) == Find::ACK_OK;
}

bool askText(Find& find, const KALMO::IPAddress& target, MessageID request, uint16_t option0,
             std::string& text) {
  text.clear();
  Receive answer;
  if (!ask(find, target, request, option0, 0, answer)) return false;
  answer.get_str(text);
  return true;
}

}  // namespace

bool Find::FwVersion(KALMO::IPAddress target, std::string& version) {
  return askText(*this, target, FWVERSION_REQ, 0, version);
}

bool Find::FwURL(KALMO::IPAddress target, std::string& location) {
  return askText(*this, target, FWURL_REQ, 0, location);
}

bool Find::Infomation(KALMO::IPAddress target, uint16_t item, std::string& text) {
  return askText(*this, target, INFOMATION_REQ, item, text);
}

bool Find::Infomation(KALMO::IPAddress target, uint16_t item, KALMO::Buffer& data) {
  data.clear();
  Receive answer;
  if (!ask(*this, target, INFOMATION_REQ, item, 0, answer)) return false;
  data = answer.get_data_CS();
  return true;
}

bool Find::Infomation(KALMO::IPAddress target, uint16_t item, std::vector<std::string>& pages) {
  pages.clear();
  Receive answer;
  if (!ask(*this, target, INFOMATION_REQ, item, 0, answer)) return false;
  answer.get_str(pages.emplace_back());
  // A target's page count alone must not make us hold gigabytes of text;
  // the pages past the cap are left out, and the caller is told.
  const uint16_t given = answer.getOption2();
  const uint16_t count = std::min(given, MAX_INFO_PAGES);
  if (given > count) {
    std::string where;
    target.get_str(where);
    KALMO::SysLog::WARNING << "Vellora Find information pages over limit : " << where << " item " << item << " "
                           << given << ">" << MAX_INFO_PAGES;
  }
  for (uint16_t page = 1; page < count; ++page) {
    const Send request(INFOMATION_REQ, 0, item, page, 0, 0);
    const int result = sendAck(target, request, INFOMATION_ANS, answer, true);
    if (result == ACK_SOCKET_ERROR) return false;
    if (result != ACK_OK) break;
    answer.get_str(pages.emplace_back());
  }
  return true;
}

bool Find::Reboot(KALMO::IPAddress target, bool withValue, uint16_t value) {
  const uint16_t sent = withValue ? value : 0;
  Receive answer;
  return ask(*this, target, REBOOT_REQ, sent, 0, answer) && answer.getOption0() == sent;
}

}  // namespace VELLORA
