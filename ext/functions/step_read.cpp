// StepRead: a whole-file read served from the page cache on the calling
// thread a step at a time. The object it fills is fresh memory, whose page
// faults can cost more than the copy itself (several times more when the
// host has taken the pages back): copied in one go, a file of a few MiB
// could keep the event loop from everything else for milliseconds. The
// caller gives the loop its turn between steps.
#include <algorithm>

#include "ext/capi/binder.hpp"
#include "ext/capi/calls.hpp"
#include "ext/capi/convert.hpp"
#include "ext/capi/entry.hpp"
#include "ext/capi/errors.hpp"
#include "ext/capi/heap_type.hpp"
#include "ext/capi/new_bytes.hpp"
#include "ext/module_table.hpp"
#include "core/nowait_io.hpp"

namespace velnor::ext {
namespace {

enum class Fill : int { Filling, Complete, Spent };

struct StepReadObject {
    PyObject_HEAD
    std::int32_t fd;     // borrowed: the caller keeps it open while it steps
    std::uint64_t pos;   // where the file's data starts being read
    std::uint64_t size;  // bytes expected from `pos` to the end
    std::uint64_t done;  // bytes copied so far
    PyObject* data;      // owned until taken; null once taken or spent
    Fill state;
};

StepReadObject* self_of(PyObject* self) { return reinterpret_cast<StepReadObject*>(self); }

void spend(StepReadObject* o) noexcept {
    o->state = Fill::Spent;
    Py_CLEAR(o->data);
}

Ref step_impl(StepReadObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params<1> params{"StepRead.step", {"n"}};
    const auto a = params.bind(args, nargs, kwnames);
    const std::uint64_t n = arg_u64("n", a[0]);
    if (self->state == Fill::Complete) return Ref::new_ref(Py_True);
    if (self->state == Fill::Spent) return none();
    const std::uint64_t want = std::min(n, self->size - self->done);
    if (want > 0) {
        auto* dst = reinterpret_cast<std::uint8_t*>(PyBytes_AsString(self->data)) + self->done;
        const auto got = fast::fill(self->fd, self->pos + self->done, dst, static_cast<std::size_t>(want));
        // A page not cached, or a file that shrank: the caller reads it again another way.
        if (!got || *got != want) {
            spend(self);
            return none();
        }
        self->done += want;
    }
    if (self->done < self->size) return Ref::new_ref(Py_False);
    // All that was expected is in: it must also be all there is.
    if (!fast::at_end(self->fd, self->pos + self->size)) {
        spend(self);
        return none();
    }
    self->state = Fill::Complete;
    return Ref::new_ref(Py_True);
}

Ref take_impl(StepReadObject* self) {
    if (self->state != Fill::Complete || !self->data) {
        raise(PyExc_RuntimeError, "StepRead.take: the read is not complete, or was taken already");
    }
    Ref out = Ref::steal(self->data);
    self->data = nullptr;
    return out;
}

PyMethodDef step_read_methods[] = {
    {"step", as_cfunction<&fast_method_entry<StepReadObject, step_impl>>(), METH_FASTCALL | METH_KEYWORDS,
     "step($self, n)\n--\n\nCopy up to `n` more bytes from the page cache without blocking. True\n"
     "once every byte is in and the end of the file confirmed where it was\nexpected; False while more "
     "remain; None when a page was not cached or\nthe file's size moved (the read is spent: nothing is "
     "kept)."},
    {"take", &noargs_method_entry<StepReadObject, take_impl>, METH_NOARGS,
     "take($self)\n--\n\nThe filled `bytes`, once `step` has answered True; only once."},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* step_read_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&] {
        static const Params<3> params{"StepRead.__new__", {"fd", "pos", "size"}};
        PyObject* bound[3] = {};
        bind_tuple(params.signature(), args, kwargs, bound);
        const std::int32_t fd = arg_fd("fd", bound[0]);
        const std::uint64_t pos = arg_u64("pos", bound[1]);
        const std::uint64_t size = arg_u64("size", bound[2]);
        Ref data = new_bytes_to_fill(size);
        Ref obj = checked(alloc_instance(type));
        auto* self = self_of(obj.get());
        self->fd = fd;
        self->pos = pos;
        self->size = size;
        self->done = 0;
        self->data = data.release();
        self->state = Fill::Filling;
        return obj;
    });
}

void step_read_dealloc(PyObject* self) noexcept {
    Py_CLEAR(self_of(self)->data);
    free_instance(self);
}

PyType_Slot step_read_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(step_read_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(step_read_dealloc)},
    {Py_tp_methods, step_read_methods},
    {Py_tp_doc, const_cast<char*>("StepRead(fd, pos, size)\n--\n\nThe `size` bytes from `pos` to the end of "
                                  "the file `fd`, copied from the\npage cache in steps into a new `bytes`; "
                                  "`fd` must stay open meanwhile.")},
    {0, nullptr},
};

PyType_Spec step_read_spec = {
    "_velnor.StepRead",
    static_cast<int>(sizeof(StepReadObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    step_read_slots,
};

}  // namespace

Ref make_step_read_type() { return checked(PyType_FromSpec(&step_read_spec)); }

}  // namespace velnor::ext
