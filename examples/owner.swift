// An owner in Swift: examples/owner.c with the Swift interface, answering the same
// commands, one a line on standard input, with the same lines:
//   recover   "restored", or "ok" when there was nothing to restore
//   begin     hide the Dock, protected by the agent: "ok"
//   end       put the Dock back: "ok"
//   state     "state none", "state protected", "state agent-gone" or "state taken-over"
//   reopen    close the handle, leaving its session to the agent, and open a new one: "ok"
// and "error N: message" when a call fails. At the end of its input it ends an active
// session and exits, as a well-behaved application does when it quits. The calls are the
// async ones, from the main actor; the final end is the blocking one an application
// makes from applicationWillTerminate.
//
// Usage: dock-restore-example-owner-swift AGENT SNAPSHOT_PATH OWNER_DOMAIN
import DockRestore
import Foundation

let arguments = CommandLine.arguments
guard arguments.count == 4 else {
    FileHandle.standardError.write(Data("usage: dock-restore-example-owner-swift AGENT SNAPSHOT_PATH OWNER_DOMAIN\n".utf8))
    exit(64)
}
var dock = try DockRestoreOwner(snapshot: URL(fileURLWithPath: arguments[2]), domain: arguments[3],
                                agent: URL(fileURLWithPath: arguments[1]))

// (A closure's thrown type is not inferred: `call` throws `any Error`, always a
// DockRestoreError here.)
@MainActor func answer(_ call: () async throws -> String) async {
    do {
        print(try await call())
    } catch let error as DockRestoreError {
        print("error \(error.code.rawValue): \(error.message)")
    } catch {
        print("error: \(error)")
    }
    fflush(nil)  // each answer reaches a pipe at once
}

while let line = readLine() {
    switch line {
    case "recover": await answer { try await dock.recover() ? "restored" : "ok" }
    case "begin": await answer { try await dock.begin(.hidden); return "ok" }
    case "end": await answer { try await dock.end(); return "ok" }
    case "state":
        let names: [SessionState: String] = [.inactive: "none", .protected: "protected", .agentGone: "agent-gone",
                                             .takenOver: "taken-over"]
        await answer { "state \(names[dock.state]!)" }
    case "reopen":
        await answer {
            dock = try DockRestoreOwner(snapshot: URL(fileURLWithPath: arguments[2]), domain: arguments[3],
                                        agent: URL(fileURLWithPath: arguments[1]))
            return "ok"
        }
    default: await answer { "error: unknown command \"\(line)\"" }
    }
}

// Blocking, as in applicationWillTerminate: end returns when the Dock is back.
func quit(_ dock: DockRestoreOwner) throws(DockRestoreError) {
    try dock.endBlocking()
}

do {
    try quit(dock)
} catch where error.code == .noSession {
} catch {
    FileHandle.standardError.write(Data("could not put the Dock back: \(error)\n".utf8))
    exit(1)
}
