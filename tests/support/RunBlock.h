#pragma once
// One processing cycle of a graph, held to the audio thread's rule that it
// never allocates.
#include <gtest/gtest.h>

#include "graph/Container.h"
#include "tests/support/AllocGuard.h"

namespace qr::test {

inline void RunBlock(CGroup& root, int frames) {
  AllocGuard g;
  root.Process(frames);
  EXPECT_TRUE(g.Clean()) << g.Report();
}

}  // namespace qr::test
