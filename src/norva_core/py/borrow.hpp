// Shared and exclusive access to one object for the length of a call.
//
// A method that calls back into Python can be re-entered on the same object: by the callback
// itself, or by another thread that runs while the callback holds no lock. The flag turns the
// clashes that would corrupt the object into a RuntimeError instead. The counter is only touched
// while the caller holds the interpreter lock, so it needs no atomics.
#pragma once

#include "ref.hpp"

namespace py {

struct BorrowFlag {
    Py_ssize_t state = 0;  // > 0: that many shared borrows; -1: one exclusive borrow
};

enum class Access { None, Shared, Exclusive };

class SharedBorrow {
public:
    explicit SharedBorrow(BorrowFlag& flag) : flag_(flag) {
        if (flag_.state < 0) throw error(PyExc_RuntimeError, "Already mutably borrowed");
        ++flag_.state;
    }
    ~SharedBorrow() { --flag_.state; }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;

private:
    BorrowFlag& flag_;
};

class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(BorrowFlag& flag) : flag_(flag) {
        if (flag_.state != 0) throw error(PyExc_RuntimeError, "Already borrowed");
        flag_.state = -1;
    }
    ~ExclusiveBorrow() { flag_.state = 0; }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

private:
    BorrowFlag& flag_;
};

}  // namespace py
