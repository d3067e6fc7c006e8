// klavrix.monitoring.callrecorder: exact call counts, inclusive and self time of every Python
// function that runs, in every thread, from sys.monitoring callbacks that are native functions.
//
// A CallRecorder claims a sys.monitoring tool id and registers one native callable per event:
// PY_START (a call), PY_RESUME and PY_THROW (a generator or coroutine resumed), PY_RETURN,
// PY_UNWIND (an exception leaves the frame) and PY_YIELD. The callbacks run with the interpreter
// lock held and never return DISABLE, so every call is seen. Each does the least it can: one
// clock read, the function's record found through the code object's co_extra slot, one push or
// pop on the thread's shadow stack (callrecorder/shadow_stack.hpp). Each finished call's duration
// goes into a CounterAggregator (count, mean, variance, min, max per function). A callback never
// fails: an error inside one is cleared and the event dropped, so the program runs on unchanged.
#include <chrono>
#include <cstdint>
#include <deque>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "extkit/extkit.hpp"
#include "klavrix/monitoring/callrecorder/shadow_stack.hpp"
#include "klavrix/monitoring/tallies/api.hpp"
#include "native_util/saturate.hpp"

namespace {

using namespace extkit;
namespace core = klavrix::callrecorder;
using core::Nanoseconds;

// Counter ids of an aggregator stay below 257, so passing one to it never allocates an int.
constexpr int kCountersPerAggregator = 256;
constexpr const char* kToolName = "klavrix profile";

// This module's slot in every code object's co_extra array (one per interpreter).
Py_ssize_t code_extra_index = -1;
// CounterAggregator and its native entry points, from klavrix.monitoring.tallies.
PyObject* aggregator_class = nullptr;
const klavrix::tallies::CounterAggregatorApi* tallies = nullptr;
// Every recorder gets its own number, told apart from others even at a reused address.
uint64_t last_recording = 0;

// ---------------------------------------------------------------------------------------------
// Clocks. Times are kept in ticks of the recorder's clock: the processor's time-stamp counter
// where the kernel itself keeps time by it (so it is constant-rate and the same on every core),
// else the monotonic clock of time.perf_counter_ns (ticks are nanoseconds), or a caller's clock
// returning nanoseconds. The counter is several times cheaper to read; its ticks are converted
// to nanoseconds by the monotonic clock's progress over the same spans of recording.

enum class ClockKind { counter, monotonic, caller };

bool counter_keeps_time() {
#if defined(__x86_64__) && defined(__linux__)
  std::ifstream source("/sys/devices/system/clocksource/clocksource0/current_clocksource");
  std::string name;
  return std::getline(source, name) && name == "tsc";
#else
  return false;
#endif
}

Nanoseconds monotonic_now() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

ClockKind default_clock = ClockKind::monotonic;

// ---------------------------------------------------------------------------------------------
// The recorder's state

// What a code object's co_extra slot points at.
struct CodeSlot {
  const void* recorder;
  uint32_t function;
  bool generator;  // a generator, coroutine or async generator: its frames can yield
};

struct Function {
  CodeSlot slot;
  Ref code;
};

struct Recorder {
  uint64_t recording = ++last_recording;
  bool running = false;
  int tool_id = -1;
  ClockKind clock_kind = default_clock;
  Ref clock;  // the caller's clock
  // Ticks and monotonic nanoseconds over the recorded spans, and where the current span began.
  Nanoseconds span_ticks = 0, span_ns = 0, started_ticks = 0, started_ns = 0;
  std::deque<Function> functions;  // stable addresses: co_extra points into them
  std::vector<core::FunctionTotals> totals;
  std::unordered_map<PyObject*, uint32_t> by_code;  // for code whose co_extra another recorder holds
  std::unordered_map<uint64_t, std::unique_ptr<core::ThreadStack>> threads;  // by thread state id
  // The thread of the last event: the interpreter lock switches threads seldom.
  PyThreadState* last_thread = nullptr;
  uint64_t last_thread_id = 0;
  core::ThreadStack* last_stack = nullptr;
  core::SuspendedFrames suspended;
  std::vector<Ref> aggregators;  // function i: counter i % kCountersPerAggregator of aggregator i / that
  uint64_t events = 0;
};

struct RecorderObject {
  PyObject_HEAD
  Recorder* recorder;  // owned
};

Recorder& recorder(PyObject* self) { return *cast<RecorderObject>(self).recorder; }

Nanoseconds ticks(Recorder& r) {
#if defined(__x86_64__)
  if (r.clock_kind == ClockKind::counter) [[likely]] return static_cast<Nanoseconds>(__builtin_ia32_rdtsc());
#endif
  if (r.clock_kind == ClockKind::caller) return to_int64(call(r.clock.get()).get());
  return monotonic_now();
}

// Nanoseconds per tick, from the spans recorded so far (and the running one).
double tick_length(Recorder& r) {
  if (r.clock_kind != ClockKind::counter) return 1.0;
  Nanoseconds total_ticks = r.span_ticks, total_ns = r.span_ns;
  if (r.running) {
    total_ticks = core::plus(total_ticks, core::minus(ticks(r), r.started_ticks));
    total_ns = core::plus(total_ns, core::minus(monotonic_now(), r.started_ns));
  }
  return total_ticks > 0 && total_ns > 0 ? static_cast<double>(total_ns) / static_cast<double>(total_ticks) : 1.0;
}

// ---------------------------------------------------------------------------------------------
// What the callbacks need: the thread's stack, the function, the frame

[[gnu::noinline]] core::ThreadStack& switch_thread(Recorder& r, PyThreadState* thread) {
  const uint64_t id = PyThreadState_GetID(thread);
  std::unique_ptr<core::ThreadStack>& stack = r.threads[id];
  if (!stack) stack = std::make_unique<core::ThreadStack>();
  r.last_thread = thread;
  r.last_thread_id = id;
  r.last_stack = stack.get();
  return *stack;
}

core::ThreadStack& thread_stack(Recorder& r, PyThreadState* thread) {
  // A thread state's address may be reused by a later thread; its id is not.
  if (thread == r.last_thread && thread->id == r.last_thread_id) [[likely]] return *r.last_stack;
  return switch_thread(r, thread);
}

[[gnu::noinline]] const CodeSlot& new_function(Recorder& r, PyObject* code) {
  if (auto found = r.by_code.find(code); found != r.by_code.end()) {
    const CodeSlot& known = r.functions[found->second].slot;
    check(PyUnstable_Code_SetExtra(code, code_extra_index, const_cast<CodeSlot*>(&known)));
    return known;
  }
  const std::size_t index = r.functions.size();
  if (index >= UINT32_MAX) raise(PyExc_OverflowError, "too many functions for one recording");
  if (index / kCountersPerAggregator >= r.aggregators.size()) {
    Ref size = py_int(kCountersPerAggregator);
    r.aggregators.push_back(call(aggregator_class, size.get()));
  }
  const int flags = reinterpret_cast<PyCodeObject*>(code)->co_flags;
  const bool generator = (flags & (CO_GENERATOR | CO_COROUTINE | CO_ASYNC_GENERATOR | CO_ITERABLE_COROUTINE)) != 0;
  const auto function = static_cast<uint32_t>(index);
  r.totals.emplace_back();
  try {
    r.functions.push_back({{&r, function, generator}, Ref::borrow(code)});
    r.by_code.emplace(code, function);
  } catch (...) {
    if (r.functions.size() > index) r.functions.pop_back();
    r.totals.pop_back();
    throw;
  }
  CodeSlot& slot = r.functions.back().slot;
  check(PyUnstable_Code_SetExtra(code, code_extra_index, &slot));
  return slot;
}

const CodeSlot& function_of(Recorder& r, PyObject* code) {
  void* extra = nullptr;
  if (PyUnstable_Code_GetExtra(code, code_extra_index, &extra) == 0 && extra != nullptr) [[likely]] {
    const auto* slot = static_cast<const CodeSlot*>(extra);
    if (slot->recorder == &r) return *slot;
  }
  return new_function(r, code);
}

// The thread's running interpreter frame: the frame of the event, at the same address for as long
// as the frame lives (a generator's frame lives inside the generator).
core::FrameKey current_frame(PyThreadState* thread) {
#if PY_VERSION_HEX >= 0x030D0000
  return thread->current_frame;
#else
  return thread->cframe->current_frame;
#endif
}

PyThreadState* current_thread() {
#if PY_VERSION_HEX >= 0x030D0000
  return PyThreadState_GetUnchecked();
#else
  return _PyThreadState_UncheckedGet();
#endif
}

// A finished call's duration, in ticks, into its function's counter.
void record_duration(Recorder& r, uint32_t function, Nanoseconds duration) {
  PyObject* aggregator = r.aggregators[function / kCountersPerAggregator].get();
  if (tallies->update(aggregator, static_cast<int>(function % kCountersPerAggregator),
                      static_cast<double>(duration)) < 0) {
    PyErr_Clear();
  }
}

auto finished(Recorder& r) {
  return [&r](const core::ThreadStack::Activation& activation, Nanoseconds active) {
    if (activation.counted) record_duration(r, activation.function, active);
  };
}

// A generator that finished without an event (closed while suspended, which the interpreter may
// do without running it) left its suspended record behind; a new frame at the same address ends it.
void end_stale(Recorder& r, core::FrameKey frame) {
  const core::Suspended* stale = r.suspended.find(frame);
  if (stale == nullptr) return;
  if (stale->counted) record_duration(r, stale->function, stale->active);
  r.suspended.erase(frame);
}

// Runs a callback's body; errors are dropped so that the program never sees them.
template <class Body>
Ref event(PyObject* self, PyObject* code, Body body) {
  Recorder& r = recorder(self);
  ++r.events;
  if (PyCode_Check(code)) [[likely]] {
    try {
      body(r, current_thread());
    } catch (...) {
      PyErr_Clear();
    }
  }
  return none();
}

// ---------------------------------------------------------------------------------------------
// The callbacks

Ref on_start(PyObject* self, PyObject* code, PyObject*) {
  return event(self, code, [code](Recorder& r, PyThreadState* thread) {
    const CodeSlot& function = function_of(r, code);
    core::ThreadStack& stack = thread_stack(r, thread);
    const core::FrameKey frame = current_frame(thread);
    if (function.generator) [[unlikely]] end_stale(r, frame);
    ++r.totals[function.function].calls;
    stack.enter(function.function, frame, ticks(r), 0, true);
  });
}

// PY_RESUME and PY_THROW: a suspended frame goes on with the time it ran so far; one that was
// suspended before recording began starts from nothing and is not counted as a call.
Ref on_resume(PyObject* self, PyObject* code, PyObject*) {
  return event(self, code, [code](Recorder& r, PyThreadState* thread) {
    const uint32_t function = function_of(r, code).function;
    core::ThreadStack& stack = thread_stack(r, thread);
    const core::FrameKey frame = current_frame(thread);
    core::Suspended resumed{function, 0, false};
    if (const core::Suspended* found = r.suspended.find(frame)) {
      if (found->function == function) {
        resumed = *found;
        r.suspended.erase(frame);
      } else {
        end_stale(r, frame);
      }
    }
    stack.enter(function, frame, ticks(r), resumed.active, resumed.counted);
  });
}

Ref on_throw(PyObject* self, PyObject* code, PyObject* offset, PyObject*) { return on_resume(self, code, offset); }

// PY_RETURN and PY_UNWIND.
Ref on_return(PyObject* self, PyObject* code, PyObject*, PyObject*) {
  return event(self, code, [](Recorder& r, PyThreadState* thread) {
    const Nanoseconds at = ticks(r);
    thread_stack(r, thread).leave(current_frame(thread), at, r.totals, false, finished(r), finished(r));
  });
}

Ref on_yield(PyObject* self, PyObject* code, PyObject*, PyObject*) {
  return event(self, code, [](Recorder& r, PyThreadState* thread) {
    const Nanoseconds at = ticks(r);
    const core::FrameKey frame = current_frame(thread);
    thread_stack(r, thread).leave(frame, at, r.totals, true, finished(r),
                                  [&](const core::ThreadStack::Activation& activation, Nanoseconds active) {
                                    r.suspended.put(frame, {activation.function, active, activation.counted});
                                  });
  });
}

// ---------------------------------------------------------------------------------------------
// Registration with sys.monitoring

struct EventCallback {
  const char* event;  // attribute of sys.monitoring.events
  Callable (*make)();
};

const EventCallback event_callbacks[] = {
    {"PY_START", [] { return def<on_start>("py_start", param<Object>("code"), param<Object>("instruction_offset")); }},
    {"PY_RESUME",
     [] { return def<on_resume>("py_resume", param<Object>("code"), param<Object>("instruction_offset")); }},
    {"PY_THROW",
     [] {
       return def<on_throw>("py_throw", param<Object>("code"), param<Object>("instruction_offset"),
                            param<Object>("exception"));
     }},
    {"PY_RETURN",
     [] {
       return def<on_return>("py_return", param<Object>("code"), param<Object>("instruction_offset"),
                             param<Object>("retval"));
     }},
    {"PY_UNWIND",
     [] {
       return def<on_return>("py_unwind", param<Object>("code"), param<Object>("instruction_offset"),
                             param<Object>("exception"));
     }},
    {"PY_YIELD",
     [] {
       return def<on_yield>("py_yield", param<Object>("code"), param<Object>("instruction_offset"),
                            param<Object>("retval"));
     }},
};

Ref sys_monitoring() {
  return attribute(import_module("sys").get(), "monitoring"_name);
}

Ref event_number(PyObject* monitoring, const char* event) {
  Ref events = attribute(monitoring, "events"_name);
  return checked(PyObject_GetAttrString(events.get(), event));
}

// Clears the tool's events and callbacks and frees it, unless someone else holds the id by now.
void release_tool(PyObject* monitoring, int tool_id) {
  Ref tool = py_int(tool_id);
  Ref holder = call_method(monitoring, "get_tool"_name, tool.get());
  Ref ours = py_str(kToolName);
  if (!compare(holder.get(), ours.get(), Py_EQ)) return;
  Ref nothing = py_int(0);
  call_method(monitoring, "set_events"_name, tool.get(), nothing.get());
  for (const EventCallback& callback : event_callbacks) {
    Ref number = event_number(monitoring, callback.event);
    call_method(monitoring, "register_callback"_name, tool.get(), number.get(), Py_None);
  }
  call_method(monitoring, "free_tool_id"_name, tool.get());
}

void start(PyObject* self, int tool_id) {
  Recorder& r = recorder(self);
  if (r.running) raise(PyExc_RuntimeError, "the recorder is already running");
  Ref monitoring = sys_monitoring();
  Ref tool = py_int(tool_id);
  Ref name = py_str(kToolName);
  call_method(monitoring.get(), "use_tool_id"_name, tool.get(), name.get());  // ValueError when taken
  try {
    Ref place_module = py_str("klavrix.monitoring.callrecorder");
    Ref mask = py_int(0);
    for (const EventCallback& entry : event_callbacks) {
      Callable callable = entry.make();
      Ref qualname = checked(PyUnicode_FromFormat("CallRecorder.%s", callable.name));
      Ref callback = make_function(std::move(callable), {qualname.get(), place_module.get(), false, nullptr, self});
      Ref number = event_number(monitoring.get(), entry.event);
      call_method(monitoring.get(), "register_callback"_name, tool.get(), number.get(), callback.get());
      mask = checked(PyNumber_Or(mask.get(), number.get()));
    }
    call_method(monitoring.get(), "set_events"_name, tool.get(), mask.get());
  } catch (const PythonError&) {
    PyObject* error = PyErr_GetRaisedException();
    try {
      release_tool(monitoring.get(), tool_id);
    } catch (const PythonError&) {
      PyErr_Clear();
    }
    PyErr_SetRaisedException(error);
    throw;
  }
  r.running = true;
  r.tool_id = tool_id;
  if (r.clock_kind == ClockKind::counter) {
    r.started_ns = monotonic_now();
    r.started_ticks = ticks(r);
  }
}

// Ends every call still open (frames of running threads, suspended generators) at this moment.
void close_open_calls(Recorder& r) {
  const Nanoseconds at = ticks(r);
  for (auto& [thread, stack] : r.threads) stack->close_all(at, r.totals, finished(r));
  r.suspended.for_each([&](const core::Suspended& suspended) {
    if (suspended.counted) record_duration(r, suspended.function, suspended.active);
  });
  r.suspended.clear();
}

void stop(PyObject* self) {
  Recorder& r = recorder(self);
  if (!r.running) return;
  if (r.clock_kind == ClockKind::counter) {
    r.span_ticks = core::plus(r.span_ticks, core::minus(ticks(r), r.started_ticks));
    r.span_ns = core::plus(r.span_ns, core::minus(monotonic_now(), r.started_ns));
  }
  r.running = false;
  PyObject* error = nullptr;
  try {
    Ref monitoring = sys_monitoring();
    release_tool(monitoring.get(), r.tool_id);
  } catch (const PythonError&) {
    error = PyErr_GetRaisedException();
  }
  try {
    close_open_calls(r);  // with the events off: a caller's clock runs Python code
  } catch (const PythonError&) {
    if (error == nullptr) error = PyErr_GetRaisedException();
    else PyErr_Clear();
  }
  if (error != nullptr) {
    PyErr_SetRaisedException(error);
    throw PythonError{};
  }
}

// ---------------------------------------------------------------------------------------------
// Results

// The aggregator's statistics of durations in ticks, as seconds.
Ref call_stats(Recorder& r, uint32_t function, double seconds_per_tick) {
  Ref stats = checked(tallies->get_stats(r.aggregators[function / kCountersPerAggregator].get(),
                                         static_cast<int>(function % kCountersPerAggregator)));
  Ref factor = py_float(seconds_per_tick);
  Ref square = py_float(seconds_per_tick * seconds_per_tick);
  for (Name* key : {&"mean"_name, &"variance"_name, &"std"_name, &"min"_name, &"max"_name}) {
    PyObject* value = PyDict_GetItemWithError(stats.get(), key->get());  // borrowed
    if (value == nullptr) {
      check_pending();
      continue;
    }
    Ref scaled = checked(PyNumber_Multiply(value, key == &"variance"_name ? square.get() : factor.get()));
    check(PyDict_SetItem(stats.get(), key->get(), scaled.get()));
  }
  return stats;
}

Ref functions(PyObject* self) {
  Recorder& r = recorder(self);
  const double tick = tick_length(r);
  Ref result = checked(PyList_New(0));
  for (uint32_t i = 0; i < r.functions.size(); ++i) {
    const core::FunctionTotals& totals = r.totals[i];
    Ref row = py_tuple(r.functions[i].code.get(), totals.calls,
                       native_util::saturating_cast<int64_t>(static_cast<double>(totals.inclusive) * tick),
                       native_util::saturating_cast<int64_t>(static_cast<double>(totals.self) * tick),
                       call_stats(r, i, tick * 1e-9));
    check(PyList_Append(result.get(), row.get()));
  }
  return result;
}

Ref running(PyObject* self) { return py_bool(recorder(self).running); }
Ref events(PyObject* self) { return py_uint(recorder(self).events); }
Ref threads(PyObject* self) { return py_uint(recorder(self).threads.size()); }

// ---------------------------------------------------------------------------------------------
// The class

const Params recorder_init{"CallRecorder", param<Object>("clock", none_default)};

PyObject* recorder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    auto [clock] = recorder_init.bind(args, kwargs);
    if (clock != Py_None && !PyCallable_Check(clock)) raise(PyExc_TypeError, "clock must be callable or None");
    auto state = std::make_unique<Recorder>();
    if (clock != Py_None) {
      state->clock = Ref::borrow(clock);
      state->clock_kind = ClockKind::caller;
    }
    Ref self = allocate(type);
    cast<RecorderObject>(self.get()).recorder = state.release();
    return self.release();
  });
}

void recorder_dealloc(PyObject* self) {
  // Never running here: while it runs, sys.monitoring holds callbacks that hold the recorder.
  if (Recorder* r = cast<RecorderObject>(self).recorder) {
    PyObject* error = PyErr_GetRaisedException();
    for (Function& function : r->functions) {
      void* extra = nullptr;
      if (PyUnstable_Code_GetExtra(function.code.get(), code_extra_index, &extra) == 0 && extra == &function.slot) {
        PyUnstable_Code_SetExtra(function.code.get(), code_extra_index, nullptr);
      }
    }
    PyErr_SetRaisedException(error);
    delete r;
  }
  free_instance(self);
}

PyGetSetDef recorder_getset[] = {
    {"running", property_get<running>, nullptr, "Whether the recorder is receiving events.", nullptr},
    {"events", property_get<events>, nullptr, "Number of events received.", nullptr},
    {"threads", property_get<threads>, nullptr, "Number of threads in which Python code ran.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const ClassSpec recorder_spec = {
    .name = "klavrix.monitoring.callrecorder.CallRecorder", .basicsize = sizeof(RecorderObject),
    .doc = "CallRecorder(clock=None)\n--\n\n"
           "Exact call counts, inclusive and self time of every Python function that runs while the recorder is "
           "started, in every thread, and each call's duration in a CounterAggregator. `clock` is a callable "
           "returning nanoseconds (time.thread_time_ns, say); None: the monotonic clock of time.perf_counter_ns.",
    .construct = recorder_new, .dealloc = recorder_dealloc, .properties = recorder_getset, .subclassable = false,
};

void populate(PyObject* module) {
  code_extra_index = PyUnstable_Eval_RequestCodeExtraIndex(nullptr);
  if (code_extra_index < 0) raise(PyExc_RuntimeError, "no code object extra slot is left");
  Ref aggregator = import_relative(module, "tallies", "CounterAggregator", 1);
  tallies = published_api<klavrix::tallies::CounterAggregatorApi>(aggregator.get(),
                                                                  klavrix::tallies::kCounterAggregatorApiName);
  if (tallies == nullptr) raise(PyExc_ImportError, "klavrix.monitoring.tallies.CounterAggregator has no native API");
  aggregator_class = aggregator.release();
  if (counter_keeps_time()) default_clock = ClockKind::counter;

  PyTypeObject* type = make_class(module, recorder_spec);
  add_method(type, def<start>("start", param<Int32>("tool_id"))
                       .doc("Claim sys.monitoring tool `tool_id` and record every Python call from now on.\n\n"
                            "Raises ValueError when the tool id is in use."));
  add_method(type, def<stop>("stop").doc("Stop recording, release the tool id, and end the calls still open at "
                                         "this moment (running frames, suspended generators)."));
  add_method(type, def<functions>("functions")
                       .returns("list")
                       .doc("(code, calls, inclusive_ns, self_ns, call_stats) for each function seen, in the "
                            "order of their first event; call_stats are the CounterAggregator statistics "
                            "of the finished calls' durations in seconds."));
  add_class(module, type);
}

ModuleFrame frame("callrecorder", "Exact call counts and inclusive and self time of Python functions.", populate);

}  // namespace

PyMODINIT_FUNC PyInit_callrecorder() { return frame.init(); }
