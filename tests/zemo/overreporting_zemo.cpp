// A stand-in for libzemo whose reads claim one byte more than requested, so that the tools'
// defence against such a library can be tested. Every other call succeeds and does nothing.
#include <zemo.h>

#include <cstring>

extern "C" {

void ZEMO_ERROR_EXIT(const char*, const char*, zemo_status, const char*) {}

zemo_status zemo_set_error_handler(zemo_error_handler) {
    return ZEMO_OK;
}

zemo_handle zemo_open(const char*) {
    static char link;
    return reinterpret_cast<zemo_handle>(&link);
}

zemo_status zemo_set_timeout(zemo_handle, int32_t) {
    return ZEMO_OK;
}

zemo_status zemo_write(zemo_handle, const void*, uint64_t count, int, uint64_t* written) {
    if (written != nullptr)
        *written = count;
    return ZEMO_OK;
}

zemo_status zemo_read(zemo_handle, void* buffer, uint64_t count, int, uint64_t* received) {
    std::memset(buffer, 'x', count);
    *received = count + 1;
    return ZEMO_OK;
}

zemo_status zemo_read_message(zemo_handle handle, void* buffer, uint64_t count, uint64_t* received,
                              int* reason) {
    *reason = ZEMO_REASON_END;
    return zemo_read(handle, buffer, count, 0, received);
}

zemo_status zemo_clear(zemo_handle) {
    return ZEMO_OK;
}

zemo_status zemo_close(zemo_handle) {
    return ZEMO_OK;
}

const char* zemo_last_error(void) {
    return "";
}

} // extern "C"
