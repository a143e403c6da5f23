// Fuzzes the USB link's frame reader and ATTACH body parser: any bytes, cut into pieces
// of any size, must give the same frames as the whole stream at once, never read out of
// bounds, and every ATTACH that is accepted must encode back to the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "usb_link/usb_frame.h"

namespace {

using skiff::usblink::Direction;
using skiff::usblink::FrameReader;
using skiff::usblink::FrameView;

struct Outcome {
  std::vector<std::vector<std::uint8_t>> frames;  // kind byte, then the body
  bool bad = false;
  std::string error;
};

Outcome Run(Direction direction, const std::uint8_t* data, std::size_t size, std::size_t piece) {
  FrameReader reader(direction);
  Outcome outcome;
  std::size_t at = 0;
  for (;;) {
    FrameView view{};
    const FrameReader::Result result = reader.Next(view);
    if (result == FrameReader::Result::Frame) {
      std::vector<std::uint8_t> frame(1, static_cast<std::uint8_t>(view.kind));
      frame.insert(frame.end(), view.body, view.body + view.length);
      outcome.frames.push_back(std::move(frame));
      continue;
    }
    if (result == FrameReader::Result::Bad) {
      outcome.bad = true;
      outcome.error = reader.Error();
      return outcome;
    }
    if (at == size) return outcome;
    const std::size_t count = size - at < piece ? size - at : piece;
    const std::size_t taken = reader.Feed(data + at, count);
    if (taken == 0) std::abort();  // a drained reader always has room
    at += taken;
  }
}

void CheckAttach(const std::uint8_t* body, std::size_t length) {
  std::vector<skiff::usblink::DeviceProperty> properties;
  std::string reason, checkReason;
  const bool decoded = skiff::usblink::DecodeAttach(body, length, &properties, &reason);
  const bool checked = skiff::usblink::DecodeAttach(body, length, nullptr, &checkReason);
  if (decoded != checked || reason != checkReason) std::abort();
  if (!decoded) {
    if (reason.empty()) std::abort();
    return;
  }
  std::vector<std::uint8_t> encoded;
  if (!skiff::usblink::EncodeAttach(properties, &encoded, &reason)) {
    // Only a body over the frame limit may fail to encode back.
    if (length <= skiff::usblink::kMaxFrameBody) std::abort();
    return;
  }
  if (encoded != std::vector<std::uint8_t>(body, body + length)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  // First byte: direction and the size of the pieces the stream arrives in.
  const Direction direction = (data[0] & 1) != 0 ? Direction::ToHandheld : Direction::ToDesktop;
  const std::size_t piece = 1 + (data[0] >> 1) * 37;
  ++data;
  --size;

  const Outcome whole = Run(direction, data, size, size == 0 ? 1 : size);
  const Outcome pieces = Run(direction, data, size, piece);
  if (whole.frames != pieces.frames || whole.bad != pieces.bad || whole.error != pieces.error) std::abort();
  if (whole.bad && whole.error.empty()) std::abort();

  for (const auto& frame : whole.frames) {
    if (frame.size() - 1 > skiff::usblink::kMaxFrameBody) std::abort();
    if (frame[0] == static_cast<std::uint8_t>(skiff::usblink::FrameKind::Attach)) {
      CheckAttach(frame.data() + 1, frame.size() - 1);
    }
  }
  // The ATTACH parser on its own, on the raw bytes.
  CheckAttach(data, size);
  return 0;
}
