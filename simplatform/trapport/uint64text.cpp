// OVuint64ToStr: a Counter64 as text in bases 2 to 36.
#include "../../platform/ovsnmp.h"

char* OVuint64ToStr(char* out, const SnmpCounter64* value, int base, int* status)
{
    if (out == nullptr) {
        if (status != nullptr) {
            *status = -1;
        }
        return nullptr;
    }
    if (value == nullptr || base < 2 || base > 36) {
        out[0] = '\0';
        if (status != nullptr) {
            *status = -1;
        }
        return out;
    }
    static const char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    uint64_t v = (static_cast<uint64_t>(value->high) << 32) | value->low;
    char reversed[65];  // 64 binary digits at most
    size_t n = 0;
    do {
        reversed[n++] = digits[v % static_cast<unsigned>(base)];
        v /= static_cast<unsigned>(base);
    } while (v != 0);
    for (size_t i = 0; i < n; ++i) {
        out[i] = reversed[n - 1 - i];
    }
    out[n] = '\0';
    if (status != nullptr) {
        *status = 0;
    }
    return out;
}
