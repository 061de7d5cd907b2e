// Icon download: a header exchange gives width, height and pixel format,
// then the pixels arrive in answers of a group of rows, one row or part of
// a row each.
#include "discovery/icon.h"

#include "discovery/find.h"

#include <algorithm>
#include <cstring>

namespace VELLORA {
namespace {

constexpr uint16_t kSingleByteFormat = 2;
// One answer carries 1200 to 1400 bytes where the row size allows.
constexpr uint32_t kGroupBytes = 1199;
constexpr uint32_t kAnswerBytes = 1400;

// Rows asked for per request; 0 asks row by row.
uint32_t rowsPerRequest(uint32_t rowBytes) {
  if (rowBytes > kGroupBytes) return 0;
  const uint32_t k = std::max<uint32_t>(2, kGroupBytes / rowBytes + 1);
  if (k * rowBytes <= kAnswerBytes) return k;
  return k - 1 >= 2 ? k - 1 : 0;
}

// Codes tried for a wished width, one row per requested code 0-8.
constexpr uint16_t kFallback[9][4] = {
    {0, 0, 0, 0}, {1, 2, 3, 4}, {2, 1, 4, 3}, {3, 1, 4, 2}, {4, 3, 2, 1},
    {5, 6, 7, 8}, {6, 5, 8, 7}, {7, 5, 8, 6}, {8, 7, 6, 5},
};

bool present(const Icon& icon) { return icon.width != 0 && !icon.pixels.empty(); }

}  // namespace

bool Find::downloadIcon(KALMO::IPAddress target, ICON selector, Icon& icon) {
  if (selector > MAX_ICON) return false;
  icon.clear();
  const uint16_t code = static_cast<uint16_t>(selector & 0xFFFF);
  const auto request = static_cast<MessageID>(ICON0_REQ + 2 * (selector >> 16));
  const MessageID answerId = answerOf(request);

  Receive answer;
  const int header = sendAck(target, Send(request, 0, code, 0, 0, 0), answerId, answer, true);
  if (header == ACK_SOCKET_ERROR) return false;
  if (header != ACK_OK) return true;  // a silent or refusing target has no such icon
  const uint16_t width = answer.getOption1();
  const uint16_t height = answer.getOption2();
  const uint16_t format = answer.getOption3();
  if (format > kSingleByteFormat || width == 0 || height == 0) return true;
  // The header alone sizes the pixels, so it is bounded before anything is
  // allocated; a larger icon is one we do not take.
  const size_t total = size_t{width} * height;
  if (total > MAX_ICON_PIXELS) return true;

  icon.width = width;
  icon.singleByte = format == kSingleByteFormat;
  icon.pixels.assign(total, Icon::Pixel{});
  const size_t pixelBytes = icon.singleByte ? 1 : 4;
  const uint32_t groupRows = rowsPerRequest(static_cast<uint32_t>(width * pixelBytes));

  // The next pixel wanted. It moves by what each answer really carried, so
  // a short answer is followed by a request for the rest, never by a gap.
  size_t position = 0;
  while (position < total) {
    const auto row = static_cast<uint16_t>(position / width);
    const auto column = static_cast<uint16_t>(position % width);
    uint16_t asked = 0;
    if (column == 0 && groupRows > 0) {
      const uint32_t rows = std::min<uint32_t>(groupRows, height - row);
      asked = static_cast<uint16_t>(rows * width + 1);
    }
    const Send pixels(request, 0, code, static_cast<uint16_t>(column + 1), static_cast<uint16_t>(row + 1), asked);
    bool ok = sendAck(target, pixels, answerId, answer, true) == ACK_OK;
    const KALMO::BufferCS_const payload = answer.get_data_CS();
    const size_t n = payload.size / pixelBytes;
    ok = ok && payload.size != 0 && payload.size % pixelBytes == 0 && n <= total - position;
    if (!ok) {
      icon.clear();
      return false;
    }
    for (size_t i = 0; i < n; ++i) {
      Icon::Pixel& p = icon.pixels[position + i];
      if (icon.singleByte) {
        p[3] = payload.data[i];
      } else {
        std::memcpy(p.data(), payload.data + 4 * i, 4);
      }
    }
    position += n;
  }
  return true;
}

bool Find::downloadIcon(KALMO::IPAddress target, ICON selector, Icon& icon, uint16_t wishedWidth) {
  if (selector > MAX_ICON) return false;
  const uint16_t code = static_cast<uint16_t>(selector & 0xFFFF);
  const ICON set = selector & ~ICON{0xFFFF};
  // Codes past the table have no fallbacks: that icon or none.
  if (code >= std::size(kFallback)) return downloadIcon(target, selector, icon);

  uint16_t found = 0;
  bool any = false;
  for (uint16_t c : kFallback[code]) {
    if (!downloadIcon(target, set | c, icon)) return false;
    if (present(icon)) {
      found = c;
      any = true;
      break;
    }
  }
  if (!any) return true;
  const bool evenPair = code != 0 && code % 2 == 0 && found != 0 && found % 2 == 0;
  const bool tooNarrow = icon.width != wishedWidth && uint32_t{icon.width} * 2 < uint32_t{wishedWidth} * 3;
  if (!evenPair || !tooNarrow) return true;
  for (uint16_t c : kFallback[code - 1]) {
    if (!downloadIcon(target, set | c, icon)) return false;
    if (present(icon)) return true;
  }
  return true;
}

}  // namespace VELLORA
