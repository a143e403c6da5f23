// The device's properties in the log and the PIN taken from "BBPIN": numbers, decimal
// text, text that is no number, names that only look alike, null names, empty values.
#include <gtest/gtest.h>

#include "support/device_test_support.h"

namespace skiff::testing {
namespace {

using P = FakePropertySpec;

FakePropertySpec Nameless(LONG value) {
  FakePropertySpec spec = P::Number(u"", value);
  spec.name.reset();
  return spec;
}

FakePropertySpec Unreadable(std::u16string name) {
  FakePropertySpec spec = P::Text(std::move(name), u"x");
  spec.getValueResult = E_ACCESSDENIED;
  return spec;
}

TEST(DeviceProperties, LinesPinAndOpenForEachShapeOfProperty) {
  constexpr LONG kKept = 0x77;
  const struct Case {
    const char* what;
    std::vector<FakePropertySpec> properties;
    std::optional<LONG> count;
    std::vector<std::string> lines;
    std::uint32_t pin;
    bool opened;
  } cases[] = {
      {"number: lower-case hex without sign or leading zeros",
       {P::Text(u"Name", u"Skiff"), P::Number(u"BBPIN", -1)},
       {},
       {"Name: Skiff", "BBPIN: ffffffff"},
       0xFFFFFFFF,
       true},
      {"zero", {P::Number(u"BBPIN", 0)}, {}, {"BBPIN: 0"}, 0, true},
      {"no leading zeros", {P::Number(u"BBPIN", 0x00AB0C)}, {}, {"BBPIN: ab0c"}, 0xAB0C, true},
      {"decimal text is converted", {P::Text(u"BBPIN", u"4660")}, {}, {"BBPIN: 1234"}, 4660, true},
      {"text that is no number ends the pass before the open and keeps the pin",
       {P::Text(u"Name", u"Skiff"), P::Text(u"BBPIN", u"12ab"), P::Text(u"Later", u"x")},
       {},
       {"Name: Skiff", ErrorLine(DISP_E_TYPEMISMATCH)},
       kKept,
       false},
      {"a number too large for 32 bits",
       {P::Text(u"BBPIN", u"99999999999")},
       {},
       {ErrorLine(DISP_E_OVERFLOW)},
       kKept,
       false},
      {"only the exact name gives the pin",
       {P::Number(u"bbpin", 5), P::Number(u"BBPIN ", 6), P::Text(u"Owner", u"BBPIN")},
       {},
       {"bbpin: 5", "BBPIN : 6", "Owner: BBPIN"},
       kKept,
       true},
      {"the last of two pins decides",
       {P::Number(u"BBPIN", 0x10), P::Text(u"Name", u"n"), P::Number(u"BBPIN", 0x20)},
       {},
       {"BBPIN: 10", "Name: n", "BBPIN: 20"},
       0x20,
       true},
      {"null name and empty values",
       {P::Text(std::nullopt, u"orphan"), P::Number(u"Number", -7), P::Text(u"Blank", u""),
        P::Empty(u"Nothing")},
       {},
       {": orphan", "Number: -7", "Blank: ", "Nothing: "},
       kKept,
       true},
      {"a null name is not BBPIN", {Nameless(9)}, {}, {": 9"}, kKept, true},
      {"no count visits nothing", {P::Number(u"BBPIN", 1)}, 0, {}, kKept, true},
      {"a negative count visits nothing", {P::Number(u"BBPIN", 1)}, -3, {}, kKept, true},
      {"a value that cannot be read ends the pass with its error",
       {P::Text(u"Name", u"Skiff"), Unreadable(u"Broken"), P::Number(u"BBPIN", 3)},
       {},
       {"Name: Skiff", ErrorLine(E_ACCESSDENIED)},
       kKept,
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // First a device with PIN kKept is served, so a PIN that is left alone shows.
    WorkerHarness h;
    auto before = h.manager.NewDevice({P::Number(u"BBPIN", kKept)});
    auto device = h.manager.NewDevice(c.properties);
    if (c.count) device->OverridePropertyCount(*c.count);
    ASSERT_TRUE(h.Serve(before));
    before->LastChannel()->Close();
    ASSERT_TRUE(h.display.WaitForLine("Finished handling client"));
    h.manager.Detach(before);
    h.manager.Attach(device);
    // Once the pass has begun, stopping lets it run to its end (the open, or its failure
    // path) and then ends the client at once.
    ASSERT_TRUE(h.display.WaitForLine("Device count > 0", 2));
    h.StopWorker();

    // The lines between "Device count > 0" and the open (or the end of the pass).
    const std::vector<std::string> all = WithoutArrivalLines(h.Lines());
    auto line = std::find(std::find(all.begin(), all.end(), "Finished handling client"), all.end(),
                          "Device count > 0");
    std::vector<std::string> lines;
    while (line != all.end() && ++line != all.end() && *line != "Opening Channel: SkiffhouseUSB" &&
           *line != "Device disconnected") {
      lines.push_back(*line);
    }
    EXPECT_EQ(lines, c.lines);
    EXPECT_EQ(h.worker->Pin(), c.pin);
    EXPECT_EQ(device->OpenCalls() > 0, c.opened);
  }
}

}  // namespace
}  // namespace skiff::testing
