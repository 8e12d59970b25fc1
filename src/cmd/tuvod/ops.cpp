// The operation table: request "op" names and their handlers.
#include "ops.hpp"

#include <cstring>

namespace {

struct tuvod_op_desc_t {
    const char *op_name;
    tuvod_op_handler_fn_t op_handler;
};

// Searched in order by exact, case-sensitive name; ends with an empty row.
const tuvod_op_desc_t tuvod_ops[] = {
    // The four handlers are not written yet; until they are, every op is
    // answered "Invalid op" rather than by a handler that pretends to work.
    // {"execute", handle_exec_req},
    // {"list", handle_list_req},
    // {"get", handle_get_req},
    // {"clear", handle_clear_req},
    {nullptr, nullptr},
};

} // namespace

tuvod_op_handler_fn_t tuvod_op_fn(const char *op) {
    if (op == nullptr)
        return nullptr;
    for (const tuvod_op_desc_t *desc = tuvod_ops; desc->op_name != nullptr; desc++) {
        if (std::strcmp(desc->op_name, op) == 0)
            return desc->op_handler;
    }
    return nullptr;
}
