#include "port_fixture.h"

namespace datapath_test {
namespace {

TEST_F(PortTest, Smoke) {
  Inject(Packet({1, 2, 3}));
  EXPECT_EQ(Held(), 3u);
  Request r = Read(3);
  ASSERT_TRUE(Await(r));
  EXPECT_EQ(r->status, STATUS_SUCCESS);
  EXPECT_EQ(r->Bytes(), (std::vector<uint8_t>{1, 2, 3}));
  Request w = Write(std::vector<uint8_t>(37, 0x41));
  ASSERT_TRUE(Await(w));
  EXPECT_EQ(w->status, STATUS_SUCCESS);
  EXPECT_EQ(w->information, 37u);
  EXPECT_EQ(Chunks().size(), 3u);
}

}  // namespace
}  // namespace datapath_test
