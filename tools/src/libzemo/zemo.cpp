// The C calls of libzemo: each one checks its arguments, runs the transport, turns a thrown
// zemo::Error into a status, writes its trace line and, on failure, calls the error handler.
#include "trace.h"
#include "transport.h"

#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

// An open interface: the name as the user gave it (for messages) and its transport.
struct zemo_link {
    std::string name;
    unsigned long id;
    std::unique_ptr<zemo::Transport> transport;
};

namespace {

zemo_error_handler installedHandler = nullptr;
unsigned long lastLinkId = 0;

// Calls the installed handler, if any, for a failing CALL on the interface NAME.
void reportFailure(const char* call, const std::string& name, zemo_status status,
                   const std::string& reason) {
    if (installedHandler != nullptr)
        installedHandler(call, name.c_str(), status, reason.c_str());
}

// The outcome of one call into a transport: OK, or the status and reason of its failure.
struct Outcome {
    zemo_status status = ZEMO_OK;
    std::string reason;
};

// Runs BODY and catches whatever it throws, so that no exception crosses the C interface.
template <typename Body> Outcome attempt(Body&& body) {
    try {
        body();
        return {};
    } catch (const zemo::Error& error) {
        return {error.status(), error.what()};
    } catch (const std::bad_alloc&) {
        return {ZEMO_FAILURE, "out of memory"};
    } catch (const std::exception& error) {
        return {ZEMO_FAILURE, error.what()};
    }
}

// The trace text of an optional result pointer argument.
const char* pointerArgument(const void* pointer, const char* name) {
    return pointer == nullptr ? "NULL" : name;
}

// Finishes a call on LINK: writes the trace line (CALL, its ARGUMENTS and RESULTS) and, when
// OUTCOME is a failure, hands it to the error handler. Returns the call's status.
zemo_status finish(const char* call, const zemo_link* link, const std::string& arguments,
                   const Outcome& outcome, const std::string& results = {}) {
    if (zemo::tracing())
        zemo::traceCall(call, arguments, outcome.status, results, outcome.reason);
    if (outcome.status != ZEMO_OK)
        reportFailure(call, link != nullptr ? link->name : std::string(), outcome.status,
                      outcome.reason);
    return outcome.status;
}

// The failure of a call that was given no handle.
Outcome nullHandle() {
    return {ZEMO_FAILURE, "no interface: the handle is NULL"};
}

// The trace text of a handle argument.
std::string handleArgument(const zemo_link* link) {
    return link == nullptr ? "NULL" : "h" + std::to_string(link->id);
}

} // namespace

extern "C" {

void ZEMO_ERROR_EXIT(const char* call, const char* interface_name, zemo_status status,
                     const char* reason) {
    const bool named = interface_name != nullptr && interface_name[0] != '\0';
    std::fprintf(stderr, "zemo: %s%s%s: %s\n", call, named ? " " : "", named ? interface_name : "",
                 reason);
    std::exit(status == ZEMO_TIMEOUT ? 3 : 2);
}

zemo_status zemo_set_error_handler(zemo_error_handler handler) {
    installedHandler = handler;
    if (zemo::tracing()) {
        const std::string name = handler == nullptr           ? "NULL"
                                 : handler == ZEMO_ERROR_EXIT ? "ZEMO_ERROR_EXIT"
                                                              : "handler";
        zemo::traceCall("zemo_set_error_handler", name, ZEMO_OK, {}, {});
    }
    return ZEMO_OK;
}

zemo_handle zemo_open(const char* name) {
    const std::string shownName = name == nullptr ? "" : name;
    std::unique_ptr<zemo::Transport> transport;
    Outcome outcome = name == nullptr ? Outcome{ZEMO_FAILURE, "no interface name: the name is NULL"}
                                      : attempt([&] { transport = zemo::openTransport(name); });
    zemo_link* link = nullptr;
    if (outcome.status == ZEMO_OK) {
        outcome = attempt([&] {
            link = new zemo_link{shownName, ++lastLinkId, std::move(transport)};
        });
    }
    if (zemo::tracing()) {
        const std::string arguments =
            name == nullptr ? "NULL" : zemo::quoted(shownName.data(), shownName.size());
        zemo::traceCall("zemo_open", arguments, outcome.status,
                        link != nullptr ? handleArgument(link) : "NULL", outcome.reason);
    }
    if (outcome.status != ZEMO_OK)
        reportFailure("zemo_open", shownName, outcome.status, outcome.reason);
    return link;
}

zemo_status zemo_set_timeout(zemo_handle handle, int32_t milliseconds) {
    Outcome outcome;
    if (handle == nullptr)
        outcome = nullHandle();
    else if (milliseconds <= 0)
        outcome = {ZEMO_FAILURE, "timeout must be above 0 ms, got " + std::to_string(milliseconds)};
    else
        outcome = attempt([&] { handle->transport->setTimeout(zemo::Milliseconds{milliseconds}); });
    return finish("zemo_set_timeout", handle,
                  zemo::tracing() ? handleArgument(handle) + ", " + std::to_string(milliseconds)
                                  : std::string(),
                  outcome);
}

zemo_status zemo_write(zemo_handle handle, const void* data, uint64_t count, int flags,
                       uint64_t* written) {
    if (written != nullptr)
        *written = 0;
    Outcome outcome;
    if (handle == nullptr)
        outcome = nullHandle();
    else if ((flags & ~ZEMO_END) != 0)
        outcome = {ZEMO_FAILURE,
                   "unknown write flags " + std::to_string(flags) + "; expected ZEMO_END (1) or 0"};
    else if (data == nullptr && count > 0)
        outcome = {ZEMO_FAILURE, "no data: the data pointer is NULL"};
    else
        outcome = attempt([&] {
            handle->transport->write(
                {static_cast<const std::byte*>(data), static_cast<std::size_t>(count)},
                (flags & ZEMO_END) != 0);
        });
    if (outcome.status == ZEMO_OK && written != nullptr)
        *written = count;
    if (!zemo::tracing())
        return finish("zemo_write", handle, {}, outcome);
    return finish("zemo_write", handle,
                  handleArgument(handle) + ", " +
                      zemo::quoted(static_cast<const char*>(data), data == nullptr ? 0 : count) +
                      ", " + std::to_string(count) + ", " + std::to_string(flags) + ", " +
                      pointerArgument(written, "&written"),
                  outcome,
                  written != nullptr ? "written " + std::to_string(*written) : std::string());
}

zemo_status zemo_read(zemo_handle handle, void* buffer, uint64_t count, int flags,
                      uint64_t* received) {
    uint64_t placed = 0;
    Outcome outcome;
    if (handle == nullptr)
        outcome = nullHandle();
    else if (flags != 0)
        outcome = {ZEMO_FAILURE, "unknown read flags " + std::to_string(flags) + "; expected 0"};
    else if (buffer == nullptr && count > 0)
        outcome = {ZEMO_FAILURE, "no buffer: the buffer pointer is NULL"};
    else
        outcome = attempt([&] {
            placed = handle->transport->read(
                {static_cast<std::byte*>(buffer), static_cast<std::size_t>(count)});
        });
    if (outcome.status == ZEMO_OK && placed > count) {
        // A transport must never claim more than fits; report nothing rather than garbage.
        outcome = {ZEMO_FAILURE, "transport reported " + std::to_string(placed) +
                                     " bytes for a request of " + std::to_string(count)};
        placed = 0;
    }
    if (outcome.status != ZEMO_OK)
        placed = 0;
    if (received != nullptr)
        *received = placed;
    if (!zemo::tracing())
        return finish("zemo_read", handle, {}, outcome);
    return finish("zemo_read", handle,
                  handleArgument(handle) + ", " + std::to_string(count) + ", " +
                      std::to_string(flags) + ", " + pointerArgument(received, "&received"),
                  outcome,
                  "received " + std::to_string(placed) + " " +
                      zemo::quoted(static_cast<const char*>(buffer), placed));
}

zemo_status zemo_clear(zemo_handle handle) {
    const Outcome outcome =
        handle == nullptr ? nullHandle() : attempt([&] { handle->transport->clear(); });
    return finish("zemo_clear", handle, zemo::tracing() ? handleArgument(handle) : std::string(),
                  outcome);
}

zemo_status zemo_close(zemo_handle handle) {
    const Outcome outcome =
        handle == nullptr ? nullHandle() : attempt([&] { handle->transport->close(); });
    // The handle is released whatever close reported, and before the handler runs, since the
    // handler may end the process.
    const std::string name = handle != nullptr ? handle->name : std::string();
    if (zemo::tracing())
        zemo::traceCall("zemo_close", handleArgument(handle), outcome.status, {}, outcome.reason);
    delete handle;
    if (outcome.status != ZEMO_OK)
        reportFailure("zemo_close", name, outcome.status, outcome.reason);
    return outcome.status;
}

} // extern "C"
