#include "argv.hpp"

#include <cstdlib>
#include <cstring>

#include "handles.hpp"
#include "info.hpp"

namespace {

constexpr const char redacted_arg[] = "********";

// The mask has 32 bits. Arguments at index 32 and above lie outside it and are
// never masked (a shift by 32 or more would be undefined, not a mask).
bool arg_is_secret(int redact, size_t index) {
    return index < 32 && ((static_cast<unsigned>(redact) >> index) & 1U) != 0;
}

} // namespace

char **argv_from_json_array(json_t *argv_js) {
    size_t n = json_array_size(argv_js);
    argv_ptr argv(static_cast<char **>(calloc(n + 1, sizeof(char *))));
    if (!argv) {
        PRINT_INFO(INFO_ERROR, "Unable to allocate argument vector\n");
        return nullptr;
    }
    for (size_t i = 0; i < n; i++) {
        json_t *arg_js = json_array_get(argv_js, i);
        if (arg_js == nullptr)
            break;
        const char *arg = json_string_value(arg_js);
        if (arg == nullptr) {
            PRINT_INFO(INFO_ERROR, "Invalid argument type\n");
            return nullptr;
        }
        argv.get()[i] = strdup(arg);
        if (argv.get()[i] == nullptr) {
            PRINT_INFO(INFO_ERROR, "Unable to dup argument\n");
            return nullptr;
        }
    }
    return argv.release();
}

void free_argv(char **argv) {
    if (argv == nullptr)
        return;
    for (char **arg = argv; *arg != nullptr; arg++)
        free(*arg);
    free(argv);
}

json_t *redacted_argv_json(char **argv, int redact) {
    json_ptr arr(json_array());
    if (!arr) {
        PRINT_INFO(INFO_ERROR, "Unable to create redacted argv array\n");
        return nullptr;
    }
    for (size_t i = 0; argv != nullptr && argv[i] != nullptr; i++) {
        const char *shown = arg_is_secret(redact, i) ? redacted_arg : argv[i];
        if (json_array_append_new(arr.get(), json_string(shown)) != 0) {
            PRINT_INFO(INFO_ERROR, "Failed to append redacted arg\n");
            return nullptr;
        }
    }
    return arr.release();
}

std::vector<std::string> secret_args(const char *const *argv, int redact) {
    std::vector<std::string> secrets;
    for (size_t i = 0; argv != nullptr && argv[i] != nullptr; i++)
        if (arg_is_secret(redact, i) && argv[i][0] != '\0')
            secrets.emplace_back(argv[i]);
    return secrets;
}

std::string mask_secrets(const std::string &text, const std::vector<std::string> &secrets) {
    std::string out = text;
    for (const std::string &secret : secrets) {
        if (secret.empty())
            continue;
        for (size_t pos = out.find(secret); pos != std::string::npos;
             pos = out.find(secret, pos + sizeof redacted_arg - 1))
            out.replace(pos, secret.size(), redacted_arg);
    }
    return out;
}

json_t *request_for_trace(const json_t *req_js, int redact) {
    json_ptr copy(json_deep_copy(req_js));
    if (!json_is_object(copy.get()))
        return copy.release();
    if (json_object_get(copy.get(), "authority") != nullptr)
        json_object_set_new(copy.get(), "authority", json_string(redacted_arg));
    // An envelope holds the command line in "args", an "args" object itself.
    json_t *argv_js = json_object_get(json_object_get(copy.get(), "args"), "argv");
    if (argv_js == nullptr)
        argv_js = json_object_get(copy.get(), "argv");
    size_t i;
    json_t *arg;
    json_array_foreach(argv_js, i, arg) {
        bool secret = redact == -1 ? i > 0 : arg_is_secret(redact, i);
        if (secret)
            json_array_set_new(argv_js, i, json_string(redacted_arg));
    }
    return copy.release();
}

const char *cmd_desc_for_exec_req(json_t *props_js, int redact_argv, char *buf, size_t bufsz) {
    if (bufsz <= 3)
        return "...";
    json_t *argv_js = json_object_get(props_js, "argv");
    const char *cmd = json_string_value(json_array_get(argv_js, 0));
    buf[0] = '\0';
    if (cmd == nullptr)
        return buf;
    size_t used = 0;
    size_t left = bufsz;
    size_t n_args = json_array_size(argv_js);
    for (size_t i = 0; i < n_args; i++) {
        json_t *arg_js = json_array_get(argv_js, i);
        if (arg_js == nullptr)
            break;
        const char *arg = json_string_value(arg_js);
        const char *shown = arg_is_secret(redact_argv, i) ? redacted_arg : arg != nullptr ? arg : "";
        int n = snprintf(buf + used, left, "%s", shown);
        if (n < 0) {
            PRINT_INFO(INFO_ERROR, "Unable to return command description for %s (arg %d)\n", cmd,
                       static_cast<int>(i));
            return buf;
        }
        if (static_cast<size_t>(n) >= left) {
            PRINT_INFO(INFO_WARN, "Truncated command description for %s (arg %d)\n", cmd,
                       static_cast<int>(i));
            memcpy(buf + bufsz - 4, "...", 4);
            return buf;
        }
        used += static_cast<size_t>(n);
        left -= static_cast<size_t>(n);
    }
    return buf;
}
