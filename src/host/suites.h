#pragma once

#include "host/sdk/ae_suites.h"

namespace skv {

// A host suite acquired for the duration of one command. A missing `pica_basicP` or a suite the
// host cannot supply is the host error PF_Err_BAD_CALLBACK_PARAM, thrown as a plain integer for
// the command barrier to report and return.
template <typename Suite>
class ScopedSuite {
  public:
    ScopedSuite(const PF_InData* in, const char* name, int32_t version)
        : basic_(in ? in->pica_basicP : nullptr), name_(name), version_(version) {
        if (!basic_ || !basic_->AcquireSuite) throw PF_Err(PF_Err_BAD_CALLBACK_PARAM);
        const void* suite = nullptr;
        if (basic_->AcquireSuite(name, version, &suite) != kSPNoError || !suite)
            throw PF_Err(PF_Err_BAD_CALLBACK_PARAM);
        suite_ = static_cast<const Suite*>(suite);
    }
    ~ScopedSuite() {
        if (basic_->ReleaseSuite) basic_->ReleaseSuite(name_, version_);
    }
    ScopedSuite(const ScopedSuite&) = delete;
    ScopedSuite& operator=(const ScopedSuite&) = delete;

    const Suite* operator->() const { return suite_; }
    const Suite& get() const { return *suite_; }

  private:
    const SPBasicSuite* basic_;
    const char* name_;
    int32_t version_;
    const Suite* suite_ = nullptr;
};

using HandleSuite = ScopedSuite<PF_HandleSuite1>;
inline HandleSuite acquireHandleSuite(const PF_InData* in) {
    return HandleSuite(in, kPFHandleSuite, kPFHandleSuiteVersion1);
}

}  // namespace skv
