#include "interface_tool.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

bool readTimeoutOption(int argc, char* argv[], std::int64_t& timeout, bool* lock) {
    for (int option; (option = getopt(argc, argv, lock != nullptr ? "t:L" : "t:")) != -1;) {
        if (option == 'L' && lock != nullptr)
            *lock = true;
        else if (option == 't')
            timeout = timeoutValue(optarg);
        else
            return false;
    }
    return optind < argc;
}

std::int64_t timeoutValue(const char* text) {
    return std::strtol(text, nullptr, 10);
}

std::int32_t ioTimeout(std::int64_t timeout) {
    if (timeout <= 0)
        return libraryDefaultTimeout;
    return timeout > INT32_MAX ? INT32_MAX : static_cast<std::int32_t>(timeout);
}

zemo_handle openInterface(const char* name, std::int64_t timeout) {
    zemo_set_error_handler(ZEMO_ERROR_EXIT);
    return openWithTimeout(name, timeout);
}

zemo_handle openWithTimeout(const char* name, std::int64_t timeout) {
    zemo_handle handle = zemo_open(name);
    if (handle != nullptr && timeout > 0 &&
        zemo_set_timeout(handle, ioTimeout(timeout)) != ZEMO_OK) {
        zemo_close(handle);
        return nullptr;
    }
    return handle;
}

InterfaceReader::InterfaceReader(const char* program, const char* name, zemo_handle handle,
                                 std::int64_t timeout)
    : program_(program), name_(name), handle_(handle), timeout_(ioTimeout(timeout)) {}

std::uint64_t InterfaceReader::read(char* buffer, std::uint64_t request) {
    startSilence();
    std::uint64_t transferred = request;
    zemo_read(handle_, buffer, request, 0, &transferred);
    return settle(transferred, request, "zemo_read");
}

ReadOutcome InterfaceReader::readMessage(char* buffer, std::uint64_t request, bool sliced) {
    startSilence();
    ReadOutcome outcome;
    outcome.size = request;
    outcome.status = zemo_read_message(handle_, buffer, request, &outcome.size, &outcome.reason);
    checkClaim(outcome.size, request, "zemo_read_message");
    if (outcome.status == ZEMO_TIMEOUT && sliced)
        outcome.status = ZEMO_OK;
    if (outcome.status != ZEMO_OK) {
        outcome.failure = zemo_last_error();
    } else if (outcome.size > 0) {
        silentSince_.reset();
    } else if (silentTooLong()) {
        outcome.status = ZEMO_TIMEOUT;
        outcome.failure = sliced ? std::string() : silenceReason();
    }
    if (outcome.status != ZEMO_OK)
        forgetSilence();
    return outcome;
}

void InterfaceReader::setTimeout(std::int64_t timeout) {
    timeout_ = std::chrono::milliseconds(ioTimeout(timeout));
}

void InterfaceReader::startSilence() {
    if (!silentSince_)
        silentSince_ = Clock::now();
}

std::uint64_t InterfaceReader::settle(std::uint64_t transferred, std::uint64_t request,
                                      const char* call) {
    checkClaim(transferred, request, call);
    if (transferred > 0)
        silentSince_.reset();
    else if (silentTooLong())
        failSilence(call);
    return transferred;
}

void InterfaceReader::checkClaim(std::uint64_t transferred, std::uint64_t request,
                                 const char* call) const {
    if (transferred <= request)
        return;
    std::fprintf(stderr, "%s: %s: %s reported %" PRIu64 " bytes for a request of %" PRIu64 "\n",
                 program_, name_, call, transferred, request);
    std::exit(2);
}

bool InterfaceReader::silentTooLong() const {
    return Clock::now() - *silentSince_ >= timeout_;
}

std::string InterfaceReader::silenceReason() const {
    return "no data from the instrument within " + std::to_string(timeout_.count()) +
           " ms: every read returned an empty message";
}

void InterfaceReader::failSilence(const char* call) const {
    const std::string reason = silenceReason();
    ZEMO_ERROR_EXIT(call, name_, ZEMO_TIMEOUT, reason.c_str());
    std::exit(3); // the handler does not return
}
