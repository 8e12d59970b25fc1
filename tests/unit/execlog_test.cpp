// Command execution log: records built from the values in hand, whole under
// concurrency, and nothing written for an incomplete record or without a log.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "db.hpp"
#include "error.hpp"
#include "execlog.hpp"
#include "handles.hpp"
#include "info.hpp"
#include "log_sandbox.hpp"

namespace {

class ExecLogTest : public testing::Test {
  protected:
    void SetUp() override {
        db_path_ = log_.path("tuvod.db");
        exec_path_ = log_.path("tuvod_exec.log");
        tuvod_.cmd_db_filename = db_path_.c_str();
        ASSERT_EQ(tuvod_cmd_db_open(&tuvod_), 0) << log_.raw();
        set_exec_log_file(exec_path_.c_str());
    }
    void TearDown() override {
        close_exec_log();
        tuvod_cmd_db_close(&tuvod_);
    }

    // An unopenable path closes the execution log; its failure message is muted.
    void close_exec_log() {
        info_level_t level = get_info_level();
        set_info_level(INFO_CRITICAL);
        set_exec_log_file(log_.path("missing/tuvod_exec.log").c_str());
        set_info_level(level);
    }

    // The values a completed command hands to the log.
    struct values {
        json_ptr args{json_pack("[s, s, s]", "/opt/backup", "--key", "********")};
        json_ptr output{json_pack("{s:i, s:s, s:s}", "exitStatus", 0, "stdout", "done\n", "stderr", "")};
        json_ptr errors{json_array()};
        tuvod_cmd_log_t rec;

        explicit values(const char *uuid, const char *state = "COMPLETE") {
            rec.uuid = uuid;
            rec.name = "backup";
            rec.args = args.get();
            rec.state = state;
            rec.start = "2026-12-06T06:12:30.004211+0100";
            rec.output = output.get();
            rec.errors = errors.get();
            rec.finish = "2026-12-06T06:12:31.000001+0100";
        }
    };

    // The execution log read as a stream of concatenated JSON values; a
    // value that does not parse ends the list with a failure.
    std::vector<json_ptr> records() const {
        std::string text = log_sandbox::read_file(exec_path_);
        std::vector<json_ptr> out;
        size_t pos = 0;
        while (text.find_first_not_of(" \n", pos) != std::string::npos) {
            json_error_t jerr;
            json_t *value = json_loadb(text.data() + pos, text.size() - pos,
                                       JSON_DISABLE_EOF_CHECK, &jerr);
            if (value == nullptr) {
                ADD_FAILURE() << "bad record at byte " << pos << ": " << jerr.text;
                break;
            }
            out.emplace_back(value);
            pos += jerr.position;
        }
        return out;
    }

    log_sandbox log_;
    std::string db_path_;
    std::string exec_path_;
    tuvod_state_t tuvod_;
};

} // namespace

TEST_F(ExecLogTest, CompletedCommandGivesOneIndentedRecordFromTheValues) {
    values v("e-1");
    log_cmd(&tuvod_, &v.rec);

    std::string text = log_sandbox::read_file(exec_path_);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.substr(0, 14), "{\n    \"UUID\": ");
    EXPECT_EQ(text.substr(text.size() - 2), "}\n");

    auto recs = records();
    ASSERT_EQ(recs.size(), 1u);
    json_t *rec = recs[0].get();
    const char *keys[] = {"UUID", "name", "argv", "state", "startTime", "output", "errors",
                          "finishTime"};
    size_t last = 0;
    for (const char *key : keys) {
        size_t at = text.find(std::string("\"") + key + "\":");
        ASSERT_NE(at, std::string::npos) << key;
        EXPECT_GT(at, last) << key << " out of order";
        last = at;
    }
    EXPECT_EQ(json_object_size(rec), 8u);
    EXPECT_STREQ(json_string_value(json_object_get(rec, "UUID")), "e-1");
    EXPECT_STREQ(json_string_value(json_object_get(rec, "name")), "backup");
    EXPECT_STREQ(json_string_value(json_object_get(rec, "state")), "COMPLETE");
    EXPECT_STREQ(json_string_value(json_array_get(json_object_get(rec, "argv"), 2)), "********");
    EXPECT_EQ(json_integer_value(json_object_get(json_object_get(rec, "output"), "exitStatus")), 0);
    EXPECT_TRUE(json_is_array(json_object_get(rec, "errors")));
    EXPECT_STREQ(json_string_value(json_object_get(rec, "finishTime")), v.rec.finish);
    // The caller's values are borrowed, not consumed.
    EXPECT_EQ(v.output->refcount, 1u);
}

TEST_F(ExecLogTest, RecordsWrittenAtOnceStayWhole) {
    constexpr int per_thread = 200;
    std::atomic<int> ready{0};
    auto writer = [&](const char *uuid) {
        values v(uuid);
        ready++;
        while (ready.load() < 2)
            std::this_thread::yield();
        for (int i = 0; i < per_thread; i++)
            log_cmd(&tuvod_, &v.rec);
    };
    std::thread left(writer, "e-left");
    std::thread right(writer, "e-right");
    left.join();
    right.join();

    auto recs = records();
    ASSERT_EQ(recs.size(), 2u * per_thread);
    int n_left = 0;
    for (const auto &rec : recs) {
        EXPECT_EQ(json_object_size(rec.get()), 8u);
        n_left += std::string(json_string_value(json_object_get(rec.get(), "UUID"))) == "e-left";
    }
    EXPECT_EQ(n_left, per_thread);
}

TEST_F(ExecLogTest, IncompleteValuesWriteNoRecord) {
    values no_finish("e-running");
    no_finish.rec.finish = nullptr;
    log_cmd(&tuvod_, &no_finish.rec);
    values no_output("e-nowhere");
    no_output.rec.output = nullptr;
    log_cmd(&tuvod_, &no_output.rec);
    EXPECT_EQ(log_sandbox::read_file(exec_path_), "");
    auto lines = log_.lines();
    ASSERT_EQ(lines.size(), 2u) << log_.raw();
    EXPECT_EQ(lines[0], "Unable to construct log for e-running");
    EXPECT_EQ(lines[1], "Unable to construct log for e-nowhere");
}

TEST_F(ExecLogTest, NothingIsWrittenWithoutAnOpenLog) {
    values v("e-quiet");
    log_cmd(&tuvod_, &v.rec);
    ASSERT_EQ(records().size(), 1u);
    close_exec_log();
    log_cmd(&tuvod_, &v.rec);
    EXPECT_EQ(records().size(), 1u);
    EXPECT_EQ(log_.raw(), "");
}

// A record cut short by a crash: the next start ends its line, names where
// the fragment starts, and the next record begins on a line of its own. A
// whole file is left as it is.
TEST_F(ExecLogTest, CutOffRecordIsEndedWhenTheLogIsOpened) {
    values v("e-whole");
    log_cmd(&tuvod_, &v.rec);
    const std::string whole = log_sandbox::read_file(exec_path_);
    set_exec_log_file(exec_path_.c_str());
    EXPECT_EQ(log_sandbox::read_file(exec_path_), whole);
    EXPECT_EQ(log_.raw().find("cut-off record"), std::string::npos);

    const std::string fragment = "{\n    \"UUID\": \"e-cut\",\n    \"output\": \"" + std::string(200000, 'x');
    { std::ofstream(exec_path_, std::ios::app) << fragment; }
    set_exec_log_file(exec_path_.c_str());
    EXPECT_NE(log_.raw().find("Execution log " + exec_path_ + " ended in a cut-off record at offset " +
                              std::to_string(whole.size()) + " (" + std::to_string(fragment.size()) +
                              " bytes); its line is ended\n"),
              std::string::npos)
        << log_.raw();
    values after("e-after");
    log_cmd(&tuvod_, &after.rec);
    std::string text = log_sandbox::read_file(exec_path_);
    ASSERT_EQ(text.compare(0, whole.size() + fragment.size() + 2, whole + fragment + "\n{"), 0);
    json_ptr rec(json_loads(text.substr(whole.size() + fragment.size() + 1).c_str(), 0, nullptr));
    EXPECT_STREQ(json_string_value(json_object_get(rec.get(), "UUID")), "e-after");
}
