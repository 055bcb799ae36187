/* dock_restore.h: hide the Dock safely from an application.
 *
 * Begin a session before changing the Dock and end it before exiting; call recover at
 * every launch. While a session is active, dock-restore-agent puts the user's Dock
 * settings back if the application dies without ending it. See docs/owner-guide.md.
 *
 * Every call that can fail returns a status; dock_restore_message() then says what went
 * wrong in words the application can show. Nothing is ever printed, and a failed call
 * leaves files and preferences as they were unless its description says otherwise.
 * A handle is not safe to use from two threads at once. */
#ifndef DOCK_RESTORE_H
#define DOCK_RESTORE_H

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define DOCK_RESTORE_API __attribute__((visibility("default")))
#else
#define DOCK_RESTORE_API
#endif

typedef enum dock_restore_status {
  DOCK_RESTORE_OK = 0,
  /* A null or relative path, an empty domain, a key outside the six Dock keys, or a
   * value of the wrong kind for its key. */
  DOCK_RESTORE_INVALID_ARGUMENT = 1,
  /* The snapshot could not be written: its folder is missing or not writable. */
  DOCK_RESTORE_SNAPSHOT_UNWRITABLE = 2,
  /* The agent does not exist, is not executable, or could not be started. */
  DOCK_RESTORE_AGENT_UNAVAILABLE = 3,
  /* end without an active session (never begun, or already ended). */
  DOCK_RESTORE_NO_SESSION = 4,
  /* The preferences store, the random source or memory failed. */
  DOCK_RESTORE_SYSTEM_ERROR = 5
} dock_restore_status;

typedef struct dock_restore_owner dock_restore_owner;

/* A handle for one application. `snapshot_path` is an absolute path in a folder only
 * the user can write (Application Support, not /tmp); `owner_domain` is the
 * application's preferences domain (its bundle identifier), where the marker key
 * "velko.systemDockVisibilitySnapshot" is kept while a session is active;
 * `agent_path` is the dock-restore-agent executable. The strings are copied. NULL only
 * when an argument is NULL or memory runs out. */
DOCK_RESTORE_API dock_restore_owner* dock_restore_open(const char* snapshot_path, const char* owner_domain,
                                                       const char* agent_path);

/* Frees the handle. An active session is not ended: its agent stays and still restores
 * the Dock when the application exits. */
DOCK_RESTORE_API void dock_restore_close(dock_restore_owner* owner);

/* The value the next dock_restore_begin applies to one of the six Dock keys:
 *   bool:   "autohide", "no-bouncing", "launchanim"
 *   number: "autohide-delay" (seconds the Dock waits before it appears),
 *           "autohide-time-modifier" (a factor on the show and hide animation)
 *   string: "orientation" ("bottom", "left" or "right")
 * Any other key, or a setter of the wrong kind, gives DOCK_RESTORE_INVALID_ARGUMENT.
 * Values set are applied by the next successful begin and then forgotten. */
DOCK_RESTORE_API dock_restore_status dock_restore_set_bool(dock_restore_owner* owner, const char* key, int value);
DOCK_RESTORE_API dock_restore_status dock_restore_set_number(dock_restore_owner* owner, const char* key, double value);
DOCK_RESTORE_API dock_restore_status dock_restore_set_string(dock_restore_owner* owner, const char* key,
                                                             const char* value);

/* Records the six keys as they are now (or carries over the originals an active
 * snapshot at the path already holds), writes the snapshot with a fresh session ID,
 * sets the marker, starts the agent, and only then applies the values set and
 * restarts the Dock. Begin again without end to change the values: the user's
 * originals are kept. On DOCK_RESTORE_SYSTEM_ERROR while applying the values, the
 * session is active all the same; end it. */
DOCK_RESTORE_API dock_restore_status dock_restore_begin(dock_restore_owner* owner);

/* Puts the recorded values back, restarts the Dock, deletes the snapshot (which ends
 * the agent) and the marker. When another instance has since begun a session on the
 * same snapshot, that session owns the Dock now: end then forgets its own and changes
 * nothing. On DOCK_RESTORE_SYSTEM_ERROR the session stays active. */
DOCK_RESTORE_API dock_restore_status dock_restore_end(dock_restore_owner* owner);

/* Call once at launch: when the marker is set and an active snapshot is left whose
 * owner is gone (a PID that does not run this application counts as gone), restores
 * the Dock from it as the agent would and clears marker and snapshot; otherwise it
 * changes nothing. `restored`, when not NULL, is set to 1 when it restored, else 0. */
DOCK_RESTORE_API dock_restore_status dock_restore_recover(dock_restore_owner* owner, int* restored);

/* 1 while a session is active and its agent still runs, else 0. Non-blocking; the
 * library reaps the agents it started. */
DOCK_RESTORE_API int dock_restore_is_protected(dock_restore_owner* owner);

/* What went wrong in the last call on `owner` that failed; "" when it succeeded. Valid
 * until the next call on the handle. */
DOCK_RESTORE_API const char* dock_restore_message(const dock_restore_owner* owner);

#ifdef __cplusplus
}
#endif

#endif
