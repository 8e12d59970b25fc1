// Limits from the daemon configuration: taken when in range, else the
// default with a warning naming the key.
#include <gtest/gtest.h>

#include "handles.hpp"
#include "limits.hpp"
#include "log_sandbox.hpp"

TEST(Limits, InRangeValuesAreTakenOthersKeepTheDefault) {
    log_sandbox log;
    tuvod_state_t tuvod;
    json_ptr config(json_pack("{s:i, s:i, s:s, s:f}", "maxQueuedRequests", 5, "maxQueuedBytes", 10,
                              "maxAsyncRuns", "16", "maxOutputBytes", 65536.0));
    tuvod.config_js = config.get();
    tuvod_load_limits(&tuvod);
    EXPECT_EQ(tuvod.max_queued_requests, 5u);
    EXPECT_EQ(tuvod.max_queued_bytes, size_t{64} << 20);
    EXPECT_EQ(tuvod.max_async_runs, 256u);
    EXPECT_EQ(tuvod.max_output_bytes, size_t{64} << 20);
    std::string text = log.raw();
    for (const char *key : {"maxQueuedBytes", "maxAsyncRuns", "maxOutputBytes"})
        EXPECT_NE(text.find(std::string("Ignoring configured ") + key), std::string::npos) << key;
    EXPECT_EQ(text.find("Ignoring configured maxQueuedRequests"), std::string::npos);

    json_ptr none(json_object());
    tuvod_state_t fresh;
    fresh.config_js = none.get();
    fresh.max_async_runs = 7; // a missing key keeps what is there
    tuvod_load_limits(&fresh);
    EXPECT_EQ(fresh.max_async_runs, 7u);
}
