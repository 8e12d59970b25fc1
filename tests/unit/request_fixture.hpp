// A daemon state for handling requests without the network: a real
// database in a log sandbox and one record for the helper script
// (authority "test", concurrent, 10 s time-out; tests may change it).
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "db.hpp"
#include "execute_test_helpers.hpp"
#include "handles.hpp"
#include "log_sandbox.hpp"
#include "worker.hpp"

class RequestFixture : public testing::Test {
  protected:
    void SetUp() override {
        db_path_ = log_.path("tuvod.db");
        tuvod_.cmd_db_filename = db_path_.c_str();
        ASSERT_EQ(tuvod_cmd_db_open(&tuvod_), 0) << log_.raw();
        script_ = exec_test::make_script(10, {});
        script_->script_authority = "test";
        script_->script_concurrent = true;
        tuvod_.tuvod_scripts = script_;
        instance_.reset(json_string("instance"));
        tuvod_.uuid_js = instance_.get();
    }
    void TearDown() override { tuvod_cmd_db_close(&tuvod_); }

    // The reply to one request body, or none.
    json_ptr handle(const std::string &body) {
        return json_ptr(tuvod_handle_request(&tuvod_, body.data(), body.size()));
    }

    log_sandbox log_;
    std::string db_path_;
    tuvod_state_t tuvod_;
    tuvod_script_ref script_;
    json_ptr instance_;
};
