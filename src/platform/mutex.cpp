#include "platform/mutex.h"

#include <system_error>

#include "platform/exception.h"
#include "platform/log.h"

namespace skv {

void Mutex::lock() {
    try {
        mutex_.lock();
    } catch (const std::system_error& e) {
        throw Exception(std::string("Failed to lock mutex: ") + e.what());
    }
    if (trace_) SKV_LOG(Debug, "Mutex " << static_cast<const void*>(this) << " locked");
}

bool Mutex::tryLock() {
    return mutex_.try_lock();
}

void Mutex::unlock() {
    if (trace_) SKV_LOG(Debug, "Mutex " << static_cast<const void*>(this) << " unlocked");
    mutex_.unlock();
}

}  // namespace skv
