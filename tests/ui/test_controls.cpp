// Values as the user reads and types them, at the edges of each control's range.
#include <gtest/gtest.h>

#include <cmath>

#include "graph/Controls.h"

using namespace qr;

TEST(Controls, TypedValuesAreReadInTheControlsOwnUnitsAndRange) {
  ControlDesc hz{.name = "freq", .min = 20, .max = 20000, .def = 2000, .unit = "Hz"};
  float v = 0;
  EXPECT_TRUE(ParseControl(hz, "2k", v));
  EXPECT_FLOAT_EQ(v, 2000.0f);
  EXPECT_TRUE(ParseControl(hz, " 440 Hz ", v));
  EXPECT_FLOAT_EQ(v, 440.0f);
  EXPECT_FALSE(ParseControl(hz, "440 dB", v));
  EXPECT_FALSE(ParseControl(hz, "loud", v));
  EXPECT_FLOAT_EQ(ClampControl(hz, 5.0f), 20.0f);
  EXPECT_FLOAT_EQ(ClampControl(hz, 1e9f), 20000.0f);

  ControlDesc pct{.name = "wet", .min = 0, .max = 1, .def = 1, .unit = "%", .step = 0.01f, .display = 100};
  EXPECT_TRUE(ParseControl(pct, "37", v));
  EXPECT_FLOAT_EQ(v, 0.37f);
  EXPECT_EQ(FormatControl(pct, 0.37f), "37 %");
  EXPECT_FLOAT_EQ(ClampControl(pct, 0.374f), 0.37f);        // snapped to the step
  EXPECT_FLOAT_EQ(ClampControl(pct, std::nanf("")), 1.0f);  // nonsense falls back to the default

  static constexpr const char* kModes[] = {"Peaking", "Low-shelf", "High-shelf"};
  ControlDesc mode{.name = "mode", .min = 4, .max = 6, .def = 4, .step = 1, .choices = kModes};
  EXPECT_TRUE(ParseControl(mode, "high-SHELF", v));
  EXPECT_FLOAT_EQ(v, 6.0f);
  EXPECT_EQ(FormatControl(mode, 5.0f), "Low-shelf");
  EXPECT_EQ(FormatControl(mode, 9.0f), "9");  // outside the names: the number
}
