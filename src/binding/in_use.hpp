// The in-use flag of every Python object of the module. The interpreter lock is held for every
// call, so a conflict arises only when Python code run by a call (an argument's __index__ or
// __iter__) calls back into the same object.
#pragma once

#include <Python.h>

#include <cstdint>

namespace zelto::binding {

struct InUseFlag {
    int64_t state = 0;  // number of shared users, or -1 while one exclusive user holds it
};

// Takes the flag for the lifetime of the guard; check ok() right after construction.
class Use {
  public:
    enum class Mode { Shared, Exclusive };

    Use(InUseFlag& flag, Mode mode) {
        if (mode == Mode::Shared) {
            if (flag.state < 0) {
                PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
                return;
            }
            ++flag.state;
        } else {
            if (flag.state != 0) {
                PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
                return;
            }
            flag.state = -1;
        }
        flag_ = &flag;
    }
    ~Use() {
        if (flag_ == nullptr) return;
        if (flag_->state < 0)
            flag_->state = 0;
        else
            --flag_->state;
    }
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;

    bool ok() const { return flag_ != nullptr; }

  private:
    InUseFlag* flag_ = nullptr;
};

}  // namespace zelto::binding
