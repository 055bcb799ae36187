// The C interface: every call catches what the C++ below may throw, so that nothing
// crosses into a C, Swift or Objective-C caller.

#include "dock_restore.h"

#include <exception>
#include <memory>
#include <new>

#include "owner/owner_handle.h"

namespace {

// What the exception being handled says; never throws, at worst it says nothing.
std::string currentFailure() noexcept {
  try {
    try {
      throw;
    } catch (const std::bad_alloc&) {
      return "out of memory";
    } catch (const std::exception& error) {
      return error.what();
    } catch (...) {
      return "unexpected failure";
    }
  } catch (...) {
    return {};
  }
}

template <typename Call>
dock_restore_status guarded(dock_restore_owner* owner, Call call) noexcept {
  if (owner == nullptr) return DOCK_RESTORE_INVALID_ARGUMENT;
  OwnerOutcome outcome;
  try {
    outcome = call();
  } catch (...) {
    outcome.status = DOCK_RESTORE_SYSTEM_ERROR;
    outcome.message = currentFailure();
  }
  // Moving a string does not allocate, so the message is always delivered.
  owner->message = std::move(outcome.message);
  return outcome.status;
}

dock_restore_status stage(dock_restore_owner* owner, const char* key, auto makeValue) noexcept {
  return guarded(owner, [&] {
    if (key == nullptr) return OwnerOutcome{DOCK_RESTORE_INVALID_ARGUMENT, "the key is NULL"};
    return stageValue(owner->state, key, makeValue());
  });
}

}  // namespace

extern "C" {

dock_restore_owner* dock_restore_open(const char* snapshot_path, const char* owner_domain, const char* agent_path) {
  if (snapshot_path == nullptr || owner_domain == nullptr || agent_path == nullptr) return nullptr;
  try {
    auto owner = std::make_unique<dock_restore_owner>();
    owner->platform = makeOwnerPlatform();
    owner->state.config = {snapshot_path, owner_domain, agent_path};
    return owner.release();
  } catch (...) {
    return nullptr;
  }
}

void dock_restore_close(dock_restore_owner* owner) { delete owner; }

dock_restore_status dock_restore_set_bool(dock_restore_owner* owner, const char* key, int value) {
  return stage(owner, key, [&] { return PreferenceValue(value != 0); });
}

dock_restore_status dock_restore_set_number(dock_restore_owner* owner, const char* key, double value) {
  return stage(owner, key, [&] { return PreferenceValue(value); });
}

dock_restore_status dock_restore_set_string(dock_restore_owner* owner, const char* key, const char* value) {
  if (value == nullptr) {
    return guarded(owner, [] { return OwnerOutcome{DOCK_RESTORE_INVALID_ARGUMENT, "the value is NULL"}; });
  }
  return stage(owner, key, [&] { return PreferenceValue(std::string(value)); });
}

dock_restore_status dock_restore_discard_values(dock_restore_owner* owner) {
  return guarded(owner, [&] {
    discardValues(owner->state);
    return OwnerOutcome{};
  });
}

dock_restore_status dock_restore_begin(dock_restore_owner* owner) {
  return guarded(owner, [&] { return beginSession(*owner->platform, owner->state); });
}

dock_restore_status dock_restore_end(dock_restore_owner* owner) {
  return guarded(owner, [&] { return endSession(*owner->platform, owner->state); });
}

dock_restore_status dock_restore_recover(dock_restore_owner* owner, int* restored) {
  bool done = false;
  const auto status = guarded(owner, [&] { return recoverAtLaunch(*owner->platform, owner->state.config, done); });
  if (restored != nullptr) *restored = done ? 1 : 0;
  return status;
}

dock_restore_state dock_restore_get_state(dock_restore_owner* owner) {
  if (owner == nullptr) return DOCK_RESTORE_STATE_NONE;
  try {
    return sessionState(*owner->platform, owner->state);
  } catch (...) {
    // Out of memory: nothing can be told of the agent, so nothing is promised of it.
    return owner->state.session ? DOCK_RESTORE_STATE_AGENT_GONE : DOCK_RESTORE_STATE_NONE;
  }
}

int dock_restore_is_protected(dock_restore_owner* owner) {
  return dock_restore_get_state(owner) == DOCK_RESTORE_STATE_PROTECTED ? 1 : 0;
}

const char* dock_restore_message(const dock_restore_owner* owner) {
  return owner == nullptr ? "no handle" : owner->message.c_str();
}

}  // extern "C"
