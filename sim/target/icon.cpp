#include "sim/target/icon.h"

#include <algorithm>
#include <mutex>

namespace vsim {
namespace {

size_t pixelBytes(const IconSpec& icon) { return icon.format == 2 ? 1 : 4; }

// Never 0, so a pixel left unwritten by the host shows.
std::vector<uint8_t> pattern(const IconSpec& icon) {
  std::vector<uint8_t> out(size_t{icon.width} * icon.height * pixelBytes(icon));
  for (size_t k = 0; k < out.size(); ++k) {
    out[k] = static_cast<uint8_t>(1 + (k * 7 + icon.code * 13 + icon.set * 31) % 255);
  }
  return out;
}

}  // namespace

struct IconSim::State {
  mutable std::mutex mu;
  std::vector<IconSpec> icons;
  std::vector<FaultCount> headers, pixels;

  void serve(TargetSim& engine, const Datagram& d) {
    const auto set = static_cast<uint16_t>((d.code - VELLORA::ICON0_REQ) / 2);
    const auto answer = static_cast<uint16_t>(d.code + 1);
    size_t k = 0;
    while (k < icons.size() && (icons[k].set != set || icons[k].code != d.option0())) ++k;
    if (k == icons.size()) {
      engine.reply(d, Answer{-1, 0, d.option, {}});
      return;
    }
    const IconSpec& icon = icons[k];
    if (d.option1() == 0) {
      answerWith(engine, d, answer, options(icon.code, icon.width, icon.height, icon.format), {}, icon.headerFault,
                 headers[k].next(icon.headerFault));
      return;
    }
    // Column and row come 1-based; option3 is pixels + 1 for a group of
    // rows, 0 for the rest of one row.
    const size_t total = size_t{icon.width} * icon.height;
    const size_t from = size_t{d.option2() - 1u} * icon.width + (d.option1() - 1u);
    size_t n = d.option3() != 0 ? d.option3() - 1u : icon.width - std::min<size_t>(icon.width, d.option1() - 1u);
    n = from < total ? std::min(n, total - from) : 0;
    if (icon.answerPixels >= 0) n = std::min(n, static_cast<size_t>(icon.answerPixels));
    const size_t b = pixelBytes(icon);
    std::vector<uint8_t> payload(icon.bytes.begin() + static_cast<std::ptrdiff_t>(std::min(from, total) * b),
                                 icon.bytes.begin() + static_cast<std::ptrdiff_t>((std::min(from, total) + n) * b));
    payload.resize(payload.size() + static_cast<size_t>(std::max(icon.extraBytes, 0)), 0x5A);
    answerWith(engine, d, answer, d.option, payload, icon.pixelFault, pixels[k].next(icon.pixelFault));
  }
};

IconSim::IconSim(TargetSim& engine, EndpointId endpoint, const std::vector<IconSpec>& icons)
    : state_(std::make_shared<State>()), handlers_(engine, endpoint) {
  state_->icons = icons;
  for (IconSpec& icon : state_->icons) {
    if (icon.bytes.empty()) icon.bytes = pattern(icon);
    icon.bytes.resize(size_t{icon.width} * icon.height * pixelBytes(icon));
  }
  state_->headers.resize(icons.size());
  state_->pixels.resize(icons.size());
  for (uint16_t code : {VELLORA::ICON0_REQ, VELLORA::ICON1_REQ, VELLORA::ICON2_REQ}) {
    handlers_.serve(code, state_, [](State& s, TargetSim& e, const Datagram& d) { s.serve(e, d); });
  }
}

std::vector<uint8_t> IconSim::bytes(size_t k) const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return k < state_->icons.size() ? state_->icons[k].bytes : std::vector<uint8_t>{};
}

}  // namespace vsim
