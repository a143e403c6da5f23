// The device's properties in the log and the PIN taken from "BBPIN": numbers, decimal
// text, text that is no number, names that only look alike, null names, empty values.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fakes/device_test_support.h"

namespace skiff::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

using P = FakePropertySpec;

// What one pass on a device with these properties wrote between "Device count > 0" and
// the open (or the end of the pass), whether it opened, and the PIN afterwards. Before
// it, a first device with PIN 0x77 has been served, so a PIN that is left alone shows.
struct PassResult {
  std::vector<std::string> propertyLines;
  bool opened;
  std::uint32_t pin;
  std::vector<std::string> allLines;
};

PassResult RunPass(std::vector<FakePropertySpec> properties,
                   std::optional<LONG> countOverride = std::nullopt) {
  WorkerHarness h;
  auto before = h.manager.NewDevice({P::Number(u"BBPIN", 0x77)});
  auto device = h.manager.NewDevice(std::move(properties));
  if (countOverride) device->OverridePropertyCount(*countOverride);
  h.StartAndWaitForAdvise();
  h.manager.Attach(before);
  EXPECT_TRUE(before->WaitForChannel(1));
  before->LastChannel()->Close();
  EXPECT_TRUE(h.display.WaitForLine("Finished handling client"));
  h.manager.Detach(before);
  h.manager.Attach(device);
  // Once the pass has begun, stopping lets it run to its end (the open, or its failure
  // path) and then ends the client at once.
  EXPECT_TRUE(h.display.WaitForLine("Device count > 0", 2));
  h.StopWorker();

  PassResult result;
  result.allLines = WithoutArrivalLines(h.Lines());
  auto pass = std::find(result.allLines.begin(), result.allLines.end(), "Finished handling client");
  pass = std::find(pass, result.allLines.end(), "Device count > 0");
  for (auto line = pass + (pass != result.allLines.end() ? 1 : 0); line != result.allLines.end(); ++line) {
    if (*line == "Opening Channel: SkiffhouseUSB" || *line == "Device disconnected") break;
    result.propertyLines.push_back(*line);
  }
  result.opened = device->OpenCalls() > 0;
  result.pin = h.worker->Pin();
  return result;
}

TEST(DeviceProperties, PinAsNumberShowsInLowerCaseHexWithoutSignOrLeadingZeros) {
  auto result = RunPass({P::Text(u"Name", u"Skiff"), P::Number(u"BBPIN", -1)});
  EXPECT_THAT(result.propertyLines, ElementsAre("Name: Skiff", "BBPIN: ffffffff"));
  EXPECT_EQ(result.pin, 0xFFFFFFFFu);
  EXPECT_TRUE(result.opened);

  result = RunPass({P::Number(u"BBPIN", 0)});
  EXPECT_THAT(result.propertyLines, ElementsAre("BBPIN: 0"));
  EXPECT_EQ(result.pin, 0u);

  result = RunPass({P::Number(u"BBPIN", 0x00AB0C)});
  EXPECT_THAT(result.propertyLines, ElementsAre("BBPIN: ab0c"));
}

TEST(DeviceProperties, PinAsDecimalTextIsConvertedToItsNumber) {
  auto result = RunPass({P::Text(u"BBPIN", u"4660")});
  EXPECT_THAT(result.propertyLines, ElementsAre("BBPIN: 1234"));
  EXPECT_EQ(result.pin, 4660u);
  EXPECT_TRUE(result.opened);
}

TEST(DeviceProperties, PinAsTextThatIsNoNumberEndsThePassBeforeTheOpen) {
  auto result = RunPass({P::Text(u"Name", u"Skiff"), P::Text(u"BBPIN", u"12ab"), P::Text(u"Later", u"x")});
  EXPECT_THAT(result.propertyLines, ElementsAre("Name: Skiff", ErrorLine(DISP_E_TYPEMISMATCH)));
  EXPECT_FALSE(result.opened);
  EXPECT_EQ(result.pin, 0x77u) << "a failing conversion must keep the previous PIN";

  // A number too large for 32 bits fails the same way.
  result = RunPass({P::Text(u"BBPIN", u"99999999999")});
  EXPECT_THAT(result.propertyLines, ElementsAre(ErrorLine(DISP_E_OVERFLOW)));
  EXPECT_FALSE(result.opened);
  EXPECT_EQ(result.pin, 0x77u);
}

TEST(DeviceProperties, OnlyTheExactNameBbpinGivesThePin) {
  auto result = RunPass({P::Number(u"bbpin", 5), P::Number(u"BBPIN ", 6), P::Text(u"Owner", u"BBPIN")});
  EXPECT_THAT(result.propertyLines, ElementsAre("bbpin: 5", "BBPIN : 6", "Owner: BBPIN"));
  EXPECT_EQ(result.pin, 0x77u);
  EXPECT_TRUE(result.opened);
}

TEST(DeviceProperties, TheLastOfTwoPinsDecides) {
  auto result = RunPass({P::Number(u"BBPIN", 0x10), P::Text(u"Name", u"n"), P::Number(u"BBPIN", 0x20)});
  EXPECT_THAT(result.propertyLines, ElementsAre("BBPIN: 10", "Name: n", "BBPIN: 20"));
  EXPECT_EQ(result.pin, 0x20u);
}

TEST(DeviceProperties, NullNameAndEmptyValues) {
  auto result = RunPass({P::Text(std::nullopt, u"orphan"), P::Number(u"Number", -7), P::Text(u"Blank", u""),
                         P::Empty(u"Nothing")});
  EXPECT_THAT(result.propertyLines, ElementsAre(": orphan", "Number: -7", "Blank: ", "Nothing: "));
  EXPECT_TRUE(result.opened);

  // A null name is not "BBPIN", whatever its value.
  FakePropertySpec nameless = P::Number(u"", 9);
  nameless.name.reset();
  result = RunPass({nameless});
  EXPECT_THAT(result.propertyLines, ElementsAre(": 9"));
  EXPECT_EQ(result.pin, 0x77u);
}

TEST(DeviceProperties, NoneOrANegativeCountVisitsNothing) {
  auto result = RunPass({P::Number(u"BBPIN", 1)}, 0);
  EXPECT_THAT(result.propertyLines, IsEmpty());
  EXPECT_EQ(result.pin, 0x77u);
  EXPECT_TRUE(result.opened);

  result = RunPass({P::Number(u"BBPIN", 1)}, -3);
  EXPECT_THAT(result.propertyLines, IsEmpty());
  EXPECT_TRUE(result.opened);
}

TEST(DeviceProperties, AValueThatCannotBeReadEndsThePassWithItsError) {
  FakePropertySpec broken = P::Text(u"Broken", u"x");
  broken.getValueResult = E_ACCESSDENIED;
  auto result = RunPass({P::Text(u"Name", u"Skiff"), broken, P::Number(u"BBPIN", 3)});
  EXPECT_THAT(result.propertyLines, ElementsAre("Name: Skiff", ErrorLine(E_ACCESSDENIED)));
  EXPECT_FALSE(result.opened);
  EXPECT_EQ(result.pin, 0x77u);
}

}  // namespace
}  // namespace skiff::testing
