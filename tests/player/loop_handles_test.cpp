#include <gtest/gtest.h>
#include "player/loop_handles.h"
TEST(X, Y) { uv_loop_t l; uv_loop_init(&l); auto *t = loop_timer_new(&l, nullptr); loop_timer_close(t); uv_run(&l, UV_RUN_DEFAULT); EXPECT_EQ(uv_loop_close(&l), 0); }
