// Debug masks: registration, the textual mask syntax and the rendering.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "info.hpp"
#include "log_sandbox.hpp"

using lines_t = std::vector<std::string>;

namespace {

// A second mask word for the registration test; a registered area stays
// registered, so every test starts with this word clear.
uint32_t other_word = 0;

// The registry is process-global and never shrinks: register the daemon's
// areas once, whichever test runs first.
void register_areas_once() {
    for (const debug_mask_desc_t *d = debug_mask_descs; d != nullptr; d = d->next)
        if (std::strcmp(d->debug_ident, "General") == 0)
            return;
    debug_register_default_masks();
}

class DebugMask : public testing::Test {
  protected:
    void SetUp() override {
        log_ = std::make_unique<log_sandbox>();
        register_areas_once();
        global_debug_mask = 0;
        other_word = 0;
    }
    void TearDown() override { log_.reset(); }

    std::unique_ptr<log_sandbox> log_;
};

} // namespace

TEST_F(DebugMask, Numbers) {
    EXPECT_EQ(set_debug_masks_from_string("0x41", true), 0);
    EXPECT_EQ(global_debug_mask, 0x41u);
    global_debug_mask = 0;
    EXPECT_EQ(set_debug_masks_from_string("65", true), 0);
    EXPECT_EQ(global_debug_mask, 0x41u);
    EXPECT_EQ(set_debug_masks_from_string("010", true), 0); // octal
    EXPECT_EQ(global_debug_mask, 0x49u);
    EXPECT_EQ(clear_debug_masks_from_string("0x9", true), 0);
    EXPECT_EQ(global_debug_mask, 0x40u);
    // Unregistered bits too, and -1 wraps to every bit of the word.
    EXPECT_EQ(set_debug_masks_from_string("-1", true), 0);
    EXPECT_EQ(global_debug_mask, 0xffffffffu);
    EXPECT_TRUE(log_->lines().empty()) << log_->raw();
}

TEST_F(DebugMask, AllAndNames) {
    EXPECT_EQ(set_debug_masks_from_string("All", true), 0);
    EXPECT_EQ(global_debug_mask, 0xffu);
    EXPECT_EQ(clear_debug_masks_from_string("Worker|DB", true), 0);
    EXPECT_EQ(global_debug_mask, 0xb7u);
    global_debug_mask = 0;

    // Case matters, "All" is a keyword only on its own, blanks belong to names.
    for (const char *text : {"all", "worker", "General|All", " General"}) {
        EXPECT_EQ(set_debug_masks_from_string(text, false), -1) << text;
    }
    EXPECT_EQ(global_debug_mask, 0x01u); // from "General|All"
    EXPECT_TRUE(log_->lines().empty()) << log_->raw();

    EXPECT_EQ(set_debug_masks_from_string("worker", true), -1);
    EXPECT_EQ(log_->lines(), lines_t{"Invalid debug type 'worker' specified"});
}

TEST_F(DebugMask, Lists) {
    struct {
        const char *text;
        int result;
        uint32_t mask;
    } cases[] = {
        {"Worker|Router", 0, 0x0c},
        {"Worker||Router", 0, 0x0c},
        {"Worker|", 0, 0x08},
        {"|", 0, 0x00},
        // Only the last item's result counts; earlier good items still apply.
        {"Bogus|General", 0, 0x01},
        {"General|Bogus", -1, 0x01},
    };
    for (const auto &c : cases) {
        global_debug_mask = 0;
        EXPECT_EQ(set_debug_masks_from_string(c.text, false), c.result) << c.text;
        EXPECT_EQ(global_debug_mask, c.mask) << c.text;
    }
}

TEST_F(DebugMask, MissingText) {
    EXPECT_EQ(set_debug_masks_from_string("", true), -1);
    EXPECT_EQ(log_->lines(), lines_t{"No debug mask supplied"});
    global_debug_mask = 0x3;
    EXPECT_EQ(clear_debug_masks_from_string(nullptr, true), -1);
    EXPECT_EQ(global_debug_mask, 0x3u);
}

TEST_F(DebugMask, Rendering) {
    EXPECT_STREQ(debug_masks2str(), "");
    global_debug_mask = 0x48;
    EXPECT_STREQ(debug_masks2str(), "DB|Worker");
    global_debug_mask = 0xffffffff;
    EXPECT_STREQ(debug_masks2str(), "Legacy|Command|DB|Contract|Worker|Router|Protocol|General");
}

TEST_F(DebugMask, DuplicateRegistrations) {
    EXPECT_EQ(debug_register_mask_desc(0x100, &global_debug_mask, "DB"), -1);
    EXPECT_EQ(debug_register_mask_desc(DEBUG_WORKER, &global_debug_mask, "Other"), -1);
    // The same bit of another mask word is a different area.
    if (std::strcmp(debug_mask_descs->debug_ident, "OtherWord") != 0) {
        EXPECT_EQ(debug_register_mask_desc(DEBUG_WORKER, &other_word, "OtherWord"), 0);
    }
    EXPECT_EQ(set_debug_masks_from_string("OtherWord", true), 0);
    EXPECT_EQ(other_word, static_cast<uint32_t>(DEBUG_WORKER));
    EXPECT_EQ(global_debug_mask, 0u);

    lines_t got = log_->lines();
    ASSERT_EQ(got.size(), 2u) << log_->raw();
    EXPECT_EQ(got[0], "Unable to register debreug desc DB (0x100) as it duplicates DB (0x40)");
    EXPECT_EQ(got[1], "Unable to register debreug desc Other (0x8) as it duplicates Worker (0x8)");
}
