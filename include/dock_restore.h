/* dock_restore.h: hide the Dock safely from an application.
 *
 * Begin a session before changing the Dock and end it before exiting; call recover at
 * every launch. While a session is active, dock-restore-agent puts the user's Dock
 * settings back if the application dies without ending it. See docs/owner-guide.md.
 *
 * Every call that can fail returns a status; dock_restore_message() then says what went
 * wrong in words the application can show. Nothing is ever printed, and a failed call
 * leaves files, preferences and agents as they were unless its description says
 * otherwise. A handle is not safe to use from two threads at once; two handles are
 * independent and may each be used on a thread of its own.
 *
 * Every application that uses the library shares one per-user registry of active
 * sessions (~/Library/Application Support/dock-restore/sessions on macOS), so that
 * however many applications hide the Dock, the user's own values are recorded once
 * and come back when the last session ends. Begins, ends and recovers take turns on
 * the registry's file lock, which each handle opens for itself: two handles of one
 * process exclude each other exactly as two processes do. */
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
  /* A NULL handle, key or value; a relative snapshot path or an empty domain (from
   * begin and recover); a key outside the six Dock keys; a value of the wrong kind for
   * its key, or one the setters refuse (see dock_restore_set_bool). */
  DOCK_RESTORE_INVALID_ARGUMENT = 1,
  /* The snapshot could not be written: its folder is missing or not writable, the disk
   * is full, or any other write error, which the message names. */
  DOCK_RESTORE_SNAPSHOT_UNWRITABLE = 2,
  /* The agent does not exist, is not executable, or could not be started. */
  DOCK_RESTORE_AGENT_UNAVAILABLE = 3,
  /* end without an active session (never begun, or already ended). */
  DOCK_RESTORE_NO_SESSION = 4,
  /* The preferences store, the registry of sessions, the random source or memory
   * failed. From begin: nothing changed. From end: the session stays active. */
  DOCK_RESTORE_SYSTEM_ERROR = 5,
  /* The Dock's current settings could not be read; nothing changed. */
  DOCK_RESTORE_DOCK_UNREADABLE = 6
} dock_restore_status;

typedef enum dock_restore_state {
  DOCK_RESTORE_STATE_NONE = 0,       /* no session on this handle (never begun, ended) */
  DOCK_RESTORE_STATE_PROTECTED = 1,  /* active, and its agent runs */
  DOCK_RESTORE_STATE_AGENT_GONE = 2, /* active, but its agent no longer runs */
  DOCK_RESTORE_STATE_TAKEN_OVER = 3  /* this handle's snapshot path holds another session
                                      * now, or none: another instance (or any program
                                      * using that path) began, ended or removed one */
} dock_restore_state;

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
 * the Dock when the application exits. No process the library started is left for the
 * application to reap, at any time, also when it is a child subreaper on Linux (the
 * library then reaps them from a thread of its own). */
DOCK_RESTORE_API void dock_restore_close(dock_restore_owner* owner);

/* The value the next dock_restore_begin applies to one of the six Dock keys:
 *   bool:   "autohide", "no-bouncing", "launchanim"
 *   number: "autohide-delay" (seconds the Dock waits before it appears; not negative),
 *           "autohide-time-modifier" (a factor on the show and hide animation)
 *   string: "orientation" ("bottom", "left" or "right")
 * Any other key, a setter of the wrong kind, a number that is not finite or a value
 * outside those listed gives DOCK_RESTORE_INVALID_ARGUMENT. Values set are applied by
 * the next successful begin and then forgotten. */
DOCK_RESTORE_API dock_restore_status dock_restore_set_bool(dock_restore_owner* owner, const char* key, int value);
DOCK_RESTORE_API dock_restore_status dock_restore_set_number(dock_restore_owner* owner, const char* key, double value);
DOCK_RESTORE_API dock_restore_status dock_restore_set_string(dock_restore_owner* owner, const char* key,
                                                             const char* value);

/* Forgets every value set since the last successful begin, so that the next begin
 * applies none of them; for a caller that gives up on a begin after one of its values
 * was refused. DOCK_RESTORE_INVALID_ARGUMENT only for a NULL handle. */
DOCK_RESTORE_API dock_restore_status dock_restore_discard_values(dock_restore_owner* owner);

/* Records the user's values of the six keys, registers the snapshot's path, writes the
 * snapshot with a fresh session ID, sets the marker, starts the agent, and only then
 * applies the values set and restarts the Dock. Registry entry, then snapshot, are on
 * stable storage (F_FULLFSYNC on macOS) before the next step and before the first
 * preference changes, so that whatever a power cut leaves, the session is found. An
 * active snapshot on the path whose owner is gone is first recovered, as
 * dock_restore_recover would, never carried over. The user's values are
 * the Dock's current ones unless a session is already active: this handle's (begin
 * again without end to change the values), another instance's on the same snapshot
 * path, or another application's in the registry; then its originals are carried
 * over. Begun again, this handle's session applies the values of its earlier begins as
 * well, those set since taking precedence: a begin with nothing set renews the session
 * as it was, which is what DOCK_RESTORE_STATE_AGENT_GONE asks for. All or nothing: on any failure
 * the snapshot, the marker, the registry, the Dock and the agents are as before the
 * call, and a refused begin leaves no new file or folder. DOCK_RESTORE_DOCK_UNREADABLE
 * when com.apple.dock exists but cannot be read. Waits while another process holds
 * the registry's lock. */
DOCK_RESTORE_API dock_restore_status dock_restore_begin(dock_restore_owner* owner);

/* Ends the session: puts the recorded values back (on stable storage) and restarts the
 * Dock, then deletes the snapshot (which ends the agent; the deletion is flushed too),
 * the marker and the registry entry. Only the keys the session applied are put back,
 * each only while the Dock still holds the value applied: a change the user makes
 * during the session (moving the Dock, a delay of their own) survives its end, however
 * it ends: here, by the agent after a crash, by dock_restore_recover or by
 * dock-restore-recover. While another application's session is live the Dock is left
 * as it is: the last session to end puts the same originals back, and what this one
 * applied where that still holds. When another instance has since begun a session on
 * the same snapshot path (DOCK_RESTORE_STATE_TAKEN_OVER), that session owns the Dock:
 * end forgets this handle's session and changes nothing. On DOCK_RESTORE_SYSTEM_ERROR
 * the session stays active. Blocks only for file and preference writes, never on the
 * agent, and leaves no process to reap. */
DOCK_RESTORE_API dock_restore_status dock_restore_end(dock_restore_owner* owner);

/* Call once at launch. (Sessions of applications that are not launched again are
 * recovered at login by dock-restore-recover.) When an active snapshot is left at the
 * handle's path whose owner is gone, marker or not (a power cut can leave either
 * without the other), restores the Dock from it as the agent would, keeping what the
 * user changed during the session (unless another application's session is live: the
 * last one to end does), and clears marker, snapshot and registry entry; `restored` is
 * then 1. The owner counts as gone when no process under its PID started when the
 * snapshot says (or, for a snapshot without that time, when the process runs another
 * program), and when the PID is the calling process's own, unless this very process
 * wrote the snapshot through another handle. When the marker is set but no active
 * snapshot is left, clears the marker (the Dock was put back already) and the
 * snapshot's registry entry. Otherwise changes nothing. `restored`, when not NULL, is 0
 * unless it restored. */
DOCK_RESTORE_API dock_restore_status dock_restore_recover(dock_restore_owner* owner, int* restored);

/* Where this handle's session stands; non-blocking (it reads the snapshot). What to do
 * about each state, so that instances never take the Dock from one another:
 *   NONE:       begin when the Dock should be hidden.
 *   PROTECTED:  nothing.
 *   AGENT_GONE: begin again, once, with nothing set: that renews the session as it was;
 *               if that fails or the agent is gone again, end.
 *   TAKEN_OVER: do not begin again: the snapshot now holds another instance's session
 *               (or was ended or removed by someone else). Call end when this instance
 *               would have shown the Dock; it then changes nothing, or, if no session
 *               holds the snapshot any more, puts the user's values back. */
DOCK_RESTORE_API dock_restore_state dock_restore_get_state(dock_restore_owner* owner);

/* 1 when dock_restore_get_state answers DOCK_RESTORE_STATE_PROTECTED, else 0. */
DOCK_RESTORE_API int dock_restore_is_protected(dock_restore_owner* owner);

/* What went wrong in the last call on `owner` that failed; "" when it succeeded. Valid
 * until the next call on the handle. */
DOCK_RESTORE_API const char* dock_restore_message(const dock_restore_owner* owner);

#ifdef __cplusplus
}
#endif

#endif
