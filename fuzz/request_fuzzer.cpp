// Requests as a worker receives them: the body goes through envelope
// checking and dispatch; a body that is JSON is also handed, as "args", to
// each operation's handler directly, so mutations reach the handlers without
// first having to rebuild a valid envelope. Scripts are configured, but none
// can run (missing, not executable, digest never matches), and the database
// holds two known records that inputs may read or clear.
#include <cstdint>
#include <cstring>
#include <string>

#include "db.hpp"
#include "error.hpp"
#include "fuzz_env.hpp"
#include "handles.hpp"
#include "ops.hpp"
#include "utils.hpp"
#include "wire.hpp"
#include "worker.hpp"

namespace {

bool is_wire_code(json_int_t code) {
    switch (code) {
    case TUVOD_EPERM:
    case TUVOD_ENOENT:
    case TUVOD_EIO:
    case TUVOD_ENOMEM:
    case TUVOD_EINVAL:
    case TUVOD_ETIMEDOUT:
        return true;
    default:
        return false;
    }
}

// What every response must be: sendable, with well-formed errors in wire
// numbering, and no execute reporting a run (nothing here can run).
void check_response(json_t *resp) {
    cstr_ptr text(json_dumps(resp, JSON_COMPACT));
    fuzz::check(static_cast<bool>(text), "response serialises");
    json_t *errors = json_object_get(resp, "errors");
    fuzz::check(json_is_array(errors), "errors is an array");
    size_t i;
    json_t *e;
    json_array_foreach(errors, i, e) {
        fuzz::check(is_wire_code(json_integer_value(json_object_get(e, "errorCode"))),
                    "error code in wire numbering");
        fuzz::check(json_is_string(json_object_get(e, "errorString")), "error text");
    }
    const char *op = json_string_value(json_object_get(resp, "op"));
    const char *state = json_string_value(json_object_get(json_object_get(resp, "result"), "state"));
    if (op != nullptr && strcmp(op, "execute") == 0 && state != nullptr) {
        fuzz::check(strcmp(state, tuvod_exec_res_str(TUVOD_EXEC_COMPLETE)) != 0 &&
                        strcmp(state, tuvod_exec_res_str(TUVOD_EXEC_RUNNING)) != 0,
                    "no script ran");
    }
}

// No input may add a record: every execute must be refused before its start
// is recorded.
void check_database(tuvod_state_t *tuvod) {
    json_t *raw = nullptr;
    fuzz::check(tuvod_db_list_cmds(tuvod, "%", "%", &raw) == 0, "list records");
    json_ptr cmds(raw);
    const char *uuid;
    json_t *state;
    json_object_foreach(cmds.get(), uuid, state) {
        fuzz::check(strcmp(uuid, fuzz::complete_uuid) == 0 || strcmp(uuid, fuzz::running_uuid) == 0,
                    "no new record");
    }
}

// The envelope's fields are copied back when it was valid.
void check_echo(const uint8_t *data, size_t size, json_t *resp) {
    json_ptr req(json_loadb(reinterpret_cast<const char *>(data),
                            strnlen(reinterpret_cast<const char *>(data), size), 0, nullptr));
    const char *uuid = nullptr, *authority = nullptr, *op = nullptr;
    json_t *args = nullptr;
    if (!req || json_unpack(req.get(), "{s:s, s:s, s:s, s:o !}", "requestUUID", &uuid,
                            "authority", &authority, "op", &op, "args", &args) != 0)
        return;
    fuzz::check(json_equal(json_object_get(resp, "requestUUID"), json_object_get(req.get(), "requestUUID")),
                "request identifier echoed");
    fuzz::check(json_equal(json_object_get(resp, "op"), json_object_get(req.get(), "op")),
                "operation echoed");
}

void call_handler(tuvod_state_t *tuvod, const char *op, const char *uuid, json_t *args) {
    json_ptr req(json_pack("{s:s, s:s, s:s, s:O}", "requestUUID", uuid, "authority",
                           fuzz::script_authority, "op", op, "args", args));
    json_ptr resp(json_pack("{s:O, s:s, s:s, s:{s:n, s:s}, s:[]}", "tuvodInstanceUUID",
                            tuvod->uuid_js, "requestUUID", uuid, "op", op, "result", "output",
                            "state", tuvod_exec_res_str(TUVOD_EXEC_FAILED), "errors"));
    fuzz::check(req && resp, "build request");
    tuvod_op_handler_fn_t handler = tuvod_op_fn(op);
    fuzz::check(handler != nullptr, "operation known");
    error_stack errors;
    handler(tuvod, uuid, req.get(), resp.get(), errors.ptr());
    json_t *errors_js = error_stack_json(errors.head());
    fuzz::check(errors_js != nullptr, "error stack");
    json_object_set_new(resp.get(), "errors", errors_js);
    check_response(resp.get());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::quiet_logging();
    fuzz::daemon_state();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    tuvod_state_t *tuvod = fuzz::daemon_state();
    fuzz::restore_records(tuvod);
    const char *body = reinterpret_cast<const char *>(data);

    json_ptr resp(tuvod_handle_request(tuvod, body, size));
    json_ptr parsed(json_loadb(body, strnlen(body, size), 0, nullptr));
    fuzz::check(!parsed || resp, "every JSON request is answered");
    if (resp) {
        check_response(resp.get());
        check_echo(data, size, resp.get());
    }

    if (parsed) {
        static const char *const uuids[] = {fuzz::complete_uuid, fuzz::running_uuid,
                                            "00000000-0000-4000-8000-000000000000"};
        const char *uuid = uuids[size % 3];
        for (const char *op : {"execute", "list", "get", "clear"}) {
            fuzz::restore_records(tuvod);
            call_handler(tuvod, op, uuid, parsed.get());
        }
    }
    check_database(tuvod);
    return 0;
}
