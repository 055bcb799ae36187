/* An owner in C: an application that hides the Dock with libdockrestore.
 *
 * It takes one command a line on standard input, so that each call can be tried by
 * hand (and the demo and the tests drive it the same way):
 *   recover   what every application does first at launch
 *   begin     hide the Dock, protected by the agent
 *   end       put the Dock back: the clean end
 *   state     where the session stands: none, protected, agent-gone or taken-over
 *   reopen    close the handle and open a new one, as an application that makes one
 *             per use does
 * and answers each with one line: "ok", "restored", "state NAME", or "error N: message".
 * At the end of its input it ends an active session and exits, as a well-behaved
 * application does when it quits.
 *
 * Usage: dock-restore-example-owner AGENT SNAPSHOT_PATH OWNER_DOMAIN */
#include <stdio.h>
#include <string.h>

#include <dock_restore.h>

static int report(dock_restore_owner* owner, dock_restore_status status) {
  if (status == DOCK_RESTORE_OK) {
    puts("ok");
  } else {
    printf("error %d: %s\n", (int)status, dock_restore_message(owner));
  }
  return status == DOCK_RESTORE_OK;
}

/* What hiding means here: the Dock slides away and waits 1000 seconds before it
 * appears again, with no animations. */
static dock_restore_status hide(dock_restore_owner* owner) {
  dock_restore_status status = dock_restore_set_bool(owner, "autohide", 1);
  if (status == DOCK_RESTORE_OK) status = dock_restore_set_number(owner, "autohide-delay", 1000.0);
  if (status == DOCK_RESTORE_OK) status = dock_restore_set_number(owner, "autohide-time-modifier", 0.0);
  if (status == DOCK_RESTORE_OK) status = dock_restore_set_bool(owner, "launchanim", 0);
  if (status == DOCK_RESTORE_OK) status = dock_restore_set_bool(owner, "no-bouncing", 1);
  return status == DOCK_RESTORE_OK ? dock_restore_begin(owner) : status;
}

int main(int argc, char** argv) {
  if (argc != 4) {
    fputs("usage: dock-restore-example-owner AGENT SNAPSHOT_PATH OWNER_DOMAIN\n", stderr);
    return 64;
  }
  dock_restore_owner* owner = dock_restore_open(argv[2], argv[3], argv[1]);
  if (owner == NULL) {
    fputs("out of memory\n", stderr);
    return 1;
  }
  setvbuf(stdout, NULL, _IOLBF, 0);

  char line[256];
  while (fgets(line, sizeof line, stdin) != NULL) {
    line[strcspn(line, "\n")] = '\0';
    if (strcmp(line, "recover") == 0) {
      int restored = 0;
      const dock_restore_status status = dock_restore_recover(owner, &restored);
      if (status == DOCK_RESTORE_OK && restored) {
        puts("restored");
      } else {
        report(owner, status);
      }
    } else if (strcmp(line, "begin") == 0) {
      report(owner, hide(owner));
    } else if (strcmp(line, "end") == 0) {
      report(owner, dock_restore_end(owner));
    } else if (strcmp(line, "state") == 0) {
      static const char* const names[] = {"none", "protected", "agent-gone", "taken-over"};
      printf("state %s\n", names[dock_restore_get_state(owner)]);
    } else if (strcmp(line, "reopen") == 0) {
      dock_restore_close(owner);
      owner = dock_restore_open(argv[2], argv[3], argv[1]);
      if (owner == NULL) {
        fputs("out of memory\n", stderr);
        return 1;
      }
      puts("ok");
    } else {
      printf("error: unknown command \"%s\"\n", line);
    }
  }
  int status = 0;
  const dock_restore_status ended = dock_restore_end(owner);
  if (ended != DOCK_RESTORE_OK && ended != DOCK_RESTORE_NO_SESSION) {
    fprintf(stderr, "could not put the Dock back: %s\n", dock_restore_message(owner));
    status = 1;
  }
  dock_restore_close(owner);
  return status;
}
