// The Node-API module: start(src, dst, options, onMessage) begins a pack
// on a thread of its own (not one of libuv's pool, which a stream waiting
// for its reader would hold for long) and returns a handle for cancel()
// and consumed(). Everything the pack thread has to say reaches
// JavaScript through one thread-safe function, as onMessage(type, value).
// index.js checks the arguments and builds the public API.
#include <napi.h>

#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "pack_job.h"

namespace zfnode {
namespace {

// Events waiting for the JavaScript thread; a pack with a progress
// callback that outruns it waits, as it waits for a slow reader.
constexpr std::size_t kQueuedMessages = 16;

struct Binding;
void Deliver(Napi::Env env, Napi::Function onMessage, Binding* binding, Message* message);

// The typed kind posts the Message itself: Napi::ThreadSafeFunction's calls
// with a callback allocate a wrapper for it on the calling thread, and there
// a std::bad_alloc has no handler (the pack thread's end would terminate the
// process, though its kDone message was made beforehand for that end).
using MessageFunction = Napi::TypedThreadSafeFunction<Binding, Message, Deliver>;

struct Binding {
  Job job;
  MessageFunction tsfn;
};

std::string BytesOf(const Napi::Value& value) {
  Napi::Buffer<char> buffer = value.As<Napi::Buffer<char>>();
  return std::string(buffer.Data(), buffer.Length());
}

std::vector<std::string> ListOf(const Napi::Value& value) {
  std::vector<std::string> list;
  Napi::Array array = value.As<Napi::Array>();
  for (std::uint32_t i = 0; i < array.Length(); ++i) list.push_back(BytesOf(array.Get(i)));
  return list;
}

Napi::Value Text(Napi::Env env, bool has, const std::string& text) {
  return has ? Napi::String::New(env, text) : env.Null();
}

Napi::Object EventObject(Napi::Env env, const EventCopy& event) {
  Napi::Object object = Napi::Object::New(env);
  object.Set("kind", event.kind);
  object.Set("name", Text(env, event.hasName, event.name));
  object.Set("size", static_cast<double>(event.size));
  object.Set("compressedSize", static_cast<double>(event.compressedSize));
  object.Set("method", event.method);
  object.Set("reason", event.reason);
  object.Set("reasonText", event.reasonText);
  object.Set("systemError", event.systemError);
  object.Set("bytesRead", static_cast<double>(event.bytesRead));
  object.Set("entries", event.entriesAdded);
  object.Set("leftOut", event.filesLeftOut);
  object.Set("excluded", event.filesExcluded);
  return object;
}

Napi::Object DoneObject(Napi::Env env, std::int32_t status, const Summary& summary) {
  Napi::Object object = Napi::Object::New(env);
  object.Set("status", status);
  object.Set("entries", summary.entries);
  object.Set("bytesRead", static_cast<double>(summary.bytesRead));
  object.Set("archiveSize", static_cast<double>(summary.archiveSize));
  object.Set("excluded", summary.excluded);
  Napi::Array leftOut = Napi::Array::New(env, summary.leftOut.size());
  for (std::size_t i = 0; i < summary.leftOut.size(); ++i) {
    const LeftOut& file = summary.leftOut[i];
    Napi::Object entry = Napi::Object::New(env);
    entry.Set("path", file.path);
    entry.Set("reason", file.reasonText);
    entry.Set("systemError", file.systemError);
    entry.Set("code", file.reason);
    leftOut.Set(static_cast<std::uint32_t>(i), entry);
  }
  object.Set("leftOut", leftOut);
  if (summary.failed) {
    object.Set("failedName", Text(env, summary.failure.hasName, summary.failure.name));
    object.Set("failedText", summary.failure.reasonText);
    object.Set("failedError", summary.failure.systemError);
  }
  return object;
}

// On the JavaScript thread: one message to onMessage. Without an env Node is
// shutting down, and the message is only freed.
void Deliver(Napi::Env env, Napi::Function onMessage, Binding* binding, Message* message) {
  if (env != nullptr && onMessage != nullptr) {
    Napi::Value value;
    const char* type = "event";
    if (message->type == Message::kEvent) {
      value = EventObject(env, message->event);
    } else if (message->type == Message::kData) {
      type = "data";
      value = Napi::Buffer<char>::Copy(env, message->data, message->length);
    } else {
      type = "done";
      value = DoneObject(env, message->status, binding->job.summary);
    }
    delete[] message->data;
    delete message;
    onMessage.Call({Napi::String::New(env, type), value});
    return;
  }
  delete[] message->data;
  delete message;
}

// On the pack thread.
bool PostMessage(void* context, Message* message) {
  Binding* binding = static_cast<Binding*>(context);
  const bool last = message->type == Message::kDone;
  const napi_status posted = binding->tsfn.BlockingCall(message);
  if (last) binding->tsfn.Release();
  return posted == napi_ok;
}

Binding* BindingOf(const Napi::CallbackInfo& info) {
  return info[0].As<Napi::External<Binding>>().Data();
}

// start(src: Buffer, dst: Buffer | null, options, onMessage) -> handle, or
// null when no thread can be started.
Napi::Value Start(const Napi::CallbackInfo& info) {
  Napi::Env env = info.Env();
  Napi::Object options = info[2].As<Napi::Object>();
  // Owned here until the thread-safe function's finalizer takes it.
  std::unique_ptr<Binding> owned(new Binding);
  Binding* binding = owned.get();
  Job& job = binding->job;
  job.src = BytesOf(info[0]);
  job.hasDst = !info[1].IsNull();
  if (job.hasDst) job.dst = BytesOf(info[1]);
  job.exclude = ListOf(options.Get("exclude"));
  job.include = ListOf(options.Get("include"));
  if (!options.Get("prefix").IsNull()) job.prefix = BytesOf(options.Get("prefix"));
  job.hasStoredTypes = !options.Get("storedTypes").IsNull();
  if (job.hasStoredTypes) job.storedTypes = BytesOf(options.Get("storedTypes"));
  job.hasPassword = !options.Get("password").IsNull();
  if (job.hasPassword) job.password = BytesOf(options.Get("password"));
  job.options.encryption = options.Get("encryption").As<Napi::Number>().Int32Value();
  job.options.threads = options.Get("threads").As<Napi::Number>().Uint32Value();
  job.options.level = options.Get("level").As<Napi::Number>().Int32Value();
  job.options.flags = options.Get("flags").As<Napi::Number>().Uint32Value();
  job.options.folders = options.Get("folders").As<Napi::Number>().Int32Value();
  job.options.mtimeCeiling = options.Get("mtimeCeiling").As<Napi::Number>().Int64Value();
  job.progress = options.Get("progress").ToBoolean();
  job.stream = options.Get("stream").ToBoolean();
  job.chunkSize = options.Get("chunkSize").As<Napi::Number>().Uint32Value();
  job.window = options.Get("window").As<Napi::Number>().Uint32Value();
  job.niceSteps = options.Get("niceSteps").As<Napi::Number>().Int32Value();
  job.post = PostMessage;
  job.postContext = binding;

  binding->tsfn =
      MessageFunction::New(env, info[3].As<Napi::Function>(), "zipfolder", kQueuedMessages, 1,
                           binding, [](Napi::Env, void*, Binding* finished) {
                             // Also reached when Node shuts down during a pack: stop it first.
                             JobCancel(&finished->job);
                             JobJoin(&finished->job);
                             delete finished;
                           });
  owned.release();
  bool started = false;
  try {
    started = JobStart(&job);
  } catch (const std::bad_alloc&) {
  }
  if (!started) {
    binding->tsfn.Release();  // the finalizer deletes the binding
    return env.Null();        // index.js: ZIPFOLDER_NO_MEMORY
  }
  return Napi::External<Binding>::New(env, binding);
}

// cancel(handle); index.js calls it only before "done".
Napi::Value Cancel(const Napi::CallbackInfo& info) {
  JobCancel(&BindingOf(info)->job);
  return info.Env().Undefined();
}

// consumed(handle, bytes): the reader took these bytes; index.js calls it
// only before "done".
Napi::Value Consumed(const Napi::CallbackInfo& info) {
  JobConsumed(&BindingOf(info)->job,
              static_cast<std::size_t>(info[1].As<Napi::Number>().Int64Value()));
  return info.Env().Undefined();
}

Napi::Object Init(Napi::Env env, Napi::Object exports) {
  exports.Set("start", Napi::Function::New(env, Start, "start"));
  exports.Set("cancel", Napi::Function::New(env, Cancel, "cancel"));
  exports.Set("consumed", Napi::Function::New(env, Consumed, "consumed"));
  return exports;
}

}  // namespace
}  // namespace zfnode

Napi::Object InitModule(Napi::Env env, Napi::Object exports) { return zfnode::Init(env, exports); }

NODE_API_MODULE(zipfolder, InitModule)
