// bench_bridge: the floor of the awaitable bridge, built only for benchmarks. complete(loop, future, value)
// hands the three objects to a native thread that waits on a condition variable; that thread takes the
// interpreter lock and calls loop.call_soon_threadsafe(future.set_result, value), which is the least any
// bridge from native worker threads to an asyncio future must do. The thread keeps one interpreter thread
// state for good, so a job costs a wake-up, the interpreter lock and the call, nothing more.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace {

struct Job {
    PyObject* loop;
    PyObject* future;
    PyObject* value;
};

// Leaked on purpose: destroying a condition variable that the worker still waits on would block exit.
struct Queue {
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<Job> jobs;  // guarded by mutex
};
Queue* queue = nullptr;  // created under the interpreter lock, with the worker

void worker() {
    // One thread state for the thread's whole life (the count never drops to zero), so each job only
    // takes and gives back the interpreter lock.
    PyGILState_Ensure();
    PyEval_SaveThread();
    for (;;) {
        Job job;
        {
            std::unique_lock lock(queue->mutex);
            queue->ready.wait(lock, [] { return !queue->jobs.empty(); });
            job = queue->jobs.front();
            queue->jobs.pop_front();
        }
        PyGILState_STATE g = PyGILState_Ensure();
        PyObject* set_result = PyObject_GetAttrString(job.future, "set_result");
        PyObject* r = set_result ? PyObject_CallMethod(job.loop, "call_soon_threadsafe", "OO", set_result, job.value)
                                 : nullptr;
        if (!r) PyErr_WriteUnraisable(job.future);
        Py_XDECREF(r);
        Py_XDECREF(set_result);
        Py_DECREF(job.loop);
        Py_DECREF(job.future);
        Py_DECREF(job.value);
        PyGILState_Release(g);
    }
}

PyObject* complete(PyObject*, PyObject* args) {
    PyObject *loop, *future, *value;
    if (!PyArg_ParseTuple(args, "OOO", &loop, &future, &value)) return nullptr;
    if (!queue) {
        queue = new Queue;
        std::thread(worker).detach();
    }
    Py_INCREF(loop);
    Py_INCREF(future);
    Py_INCREF(value);
    {
        std::lock_guard lock(queue->mutex);
        queue->jobs.push_back({loop, future, value});
    }
    queue->ready.notify_one();
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"complete", complete, METH_VARARGS,
     "complete(loop, future, value): a native thread calls loop.call_soon_threadsafe(future.set_result, value)"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "bench_bridge", "Bridge floor for the benchmarks.", -1, methods,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_bench_bridge() { return PyModule_Create(&module_def); }
