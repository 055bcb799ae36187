// The owner: one C handle behind a serial queue, so that it can be shared between
// threads and tasks, with async calls that block neither the caller nor Swift's pool.
import CDockRestore
import Dispatch

#if canImport(Darwin) || !canImport(FoundationEssentials)
import Foundation
#else
import FoundationEssentials
#endif

/// One application's handle on the Dock.
///
/// Call `recover()` at every launch, `begin(_:)` to change the Dock and `end()`
/// before quitting. An owner may be shared by any threads and tasks: its calls on the
/// library take turns. Two owners (of one application or two) may run calls at the same
/// time; they coordinate through the per-user registry of sessions as two processes do.
///
/// Each of `begin(_:)`, `renew()`, `end()` and `recover()` comes twice. The
/// `async` forms do the blocking work (file writes and flushes, starting processes) on
/// the owner's own dispatch queue, never on the caller's executor or on Swift's
/// cooperative pool; the caller is resumed when it is done. Cancelling the task does not
/// stop a call that has started. The synchronous forms block the calling thread, for
/// `applicationWillTerminate(_:)` and a signal source's handler.
public final class DockRestoreOwner: @unchecked Sendable {
    /// The snapshot file the owner writes while a session is active.
    public let snapshot: URL
    /// The preferences domain that holds the owner's marker: the bundle identifier.
    public let domain: String
    /// The `dock-restore-agent` executable the owner starts.
    public let agent: URL

    // Every use of `handle` runs on `queue`, except in deinit, which nothing can overlap:
    // a queued call holds the owner. That is what makes the class Sendable.
    private let queue = DispatchQueue(label: "dock-restore-owner")
    private var handle: OpaquePointer?

    /// An owner with every part given.
    ///
    /// - Parameters:
    ///   - snapshot: a file in a folder only the user can write (Application Support),
    ///     the same for every instance of the application.
    ///   - domain: the application's preferences domain, its bundle identifier.
    ///   - agent: the `dock-restore-agent` executable, inside the application's bundle.
    /// - Throws: ``DockRestoreError`` with ``DockRestoreError/Code/systemError`` when
    ///   memory runs out. Paths and domain are checked by the first call that uses them.
    public init(snapshot: URL, domain: String, agent: URL) throws {
        guard let handle = snapshot.withUnsafeFileSystemRepresentation({ snapshotPath in
            agent.withUnsafeFileSystemRepresentation { agentPath in
                dock_restore_open(snapshotPath, domain, agentPath)
            }
        }) else {
            throw DockRestoreError(code: .systemError, message: "out of memory")
        }
        self.snapshot = snapshot
        self.domain = domain
        self.agent = agent
        self.handle = handle
    }

    /// Frees the handle unless ``close()`` did. An active session is not ended: its agent
    /// still restores the Dock when the application exits.
    deinit {
        if let handle { dock_restore_close(handle) }
    }

    /// Frees the handle now, after any call already under way. An active session is not
    /// ended: its agent still restores the Dock when the application exits.
    ///
    /// Every later call throws ``DockRestoreError/Code/closed``, and ``state`` is
    /// ``SessionState/none``. Closing again does nothing.
    public func close() {
        queue.sync {
            if let handle { dock_restore_close(handle) }
            handle = nil
        }
    }

    // MARK: - Synchronous calls

    /// At launch: puts the Dock back after a crash that took the agent down too.
    ///
    /// - Returns: whether it restored the Dock.
    /// - Throws: ``DockRestoreError``; nothing changed.
    @discardableResult
    public func recover() throws -> Bool {
        try now(Self.recover)
    }

    /// Records the Dock as the user has it, starts the agent, then applies `settings`.
    ///
    /// Begin again to change the settings: the user's originals are kept, and the
    /// session's earlier settings stay applied under the new ones. All or nothing: when
    /// one value is refused or a step fails, nothing is applied, now or by a later call.
    ///
    /// - Parameter settings: what the Dock shows during the session; ``DockSettings/hidden``
    ///   when left out.
    /// - Throws: ``DockRestoreError``; files, preferences and agents are as before.
    public func begin(_ settings: DockSettings = .hidden) throws {
        try now { try Self.begin($0, settings) }
    }

    /// After ``SessionState/agentGone``: starts a new agent and applies the settings the
    /// session has applied so far, which the user's originals still back.
    ///
    /// Not after ``SessionState/takenOver``: the Dock is another instance's then.
    /// - Throws: ``DockRestoreError``, ``DockRestoreError/Code/noSession`` when no session
    ///   was begun; then end the session.
    public func renew() throws {
        try now(Self.renew)
    }

    /// Puts the user's Dock back and ends the session: on quit, and on `SIGTERM`.
    ///
    /// - Throws: ``DockRestoreError``, ``DockRestoreError/Code/noSession`` when no session
    ///   is active; after ``DockRestoreError/Code/systemError`` the session stays active.
    public func end() throws {
        try now(Self.end)
    }

    // MARK: - Asynchronous calls

    /// `recover()` on the owner's queue, without blocking the caller.
    @discardableResult
    public func recover() async throws -> Bool {
        try await later(Self.recover)
    }

    /// `begin(_:)` on the owner's queue, without blocking the caller.
    public func begin(_ settings: DockSettings = .hidden) async throws {
        try await later { try Self.begin($0, settings) }
    }

    /// `renew()` on the owner's queue, without blocking the caller.
    public func renew() async throws {
        try await later(Self.renew)
    }

    /// `end()` on the owner's queue, without blocking the caller.
    public func end() async throws {
        try await later(Self.end)
    }

    /// Where the session stands; cheap enough to ask from a timer. Waits for a call
    /// under way on the same owner.
    public var state: SessionState {
        (try? now(Self.state)) ?? .none
    }

    // MARK: - On the queue

    private func now<T>(_ call: (OpaquePointer) throws -> T) throws -> T {
        try queue.sync { try withHandle(call) }
    }

    private func later<T: Sendable>(_ call: @escaping @Sendable (OpaquePointer) throws -> T) async throws -> T {
        try await withCheckedThrowingContinuation { continuation in
            queue.async { continuation.resume(with: Result { try self.withHandle(call) }) }
        }
    }

    private func withHandle<T>(_ call: (OpaquePointer) throws -> T) throws -> T {
        guard let handle else { throw DockRestoreError(code: .closed, message: "the Dock owner is closed") }
        return try call(handle)
    }

    private static func recover(_ handle: OpaquePointer) throws -> Bool {
        var restored: Int32 = 0
        try check(handle, dock_restore_recover(handle, &restored))
        return restored != 0
    }

    private static func begin(_ handle: OpaquePointer, _ settings: DockSettings) throws {
        // Values staged by a call that failed must never reach a later begin.
        defer { dock_restore_discard_values(handle) }
        dock_restore_discard_values(handle)
        if let value = settings.orientation {
            try check(handle, dock_restore_set_string(handle, "orientation", value.rawValue))
        }
        if let value = settings.autohide { try check(handle, dock_restore_set_bool(handle, "autohide", value ? 1 : 0)) }
        if let value = settings.autohideDelay {
            try check(handle, dock_restore_set_number(handle, "autohide-delay", value))
        }
        if let value = settings.autohideTimeModifier {
            try check(handle, dock_restore_set_number(handle, "autohide-time-modifier", value))
        }
        if let value = settings.noBouncing {
            try check(handle, dock_restore_set_bool(handle, "no-bouncing", value ? 1 : 0))
        }
        if let value = settings.launchAnimation {
            try check(handle, dock_restore_set_bool(handle, "launchanim", value ? 1 : 0))
        }
        try check(handle, dock_restore_begin(handle))
    }

    private static func renew(_ handle: OpaquePointer) throws {
        guard dock_restore_get_state(handle) != DOCK_RESTORE_STATE_NONE else {
            throw DockRestoreError(code: .noSession, message: "there is no session to renew")
        }
        // Begun again with nothing new, the session applies what it applied before.
        try begin(handle, DockSettings())
    }

    private static func end(_ handle: OpaquePointer) throws {
        try check(handle, dock_restore_end(handle))
    }

    private static func state(_ handle: OpaquePointer) -> SessionState {
        switch dock_restore_get_state(handle) {
        case DOCK_RESTORE_STATE_NONE: return .none
        case DOCK_RESTORE_STATE_PROTECTED: return .protected
        case DOCK_RESTORE_STATE_TAKEN_OVER: return .takenOver
        // A state a newer library adds is at least not protected.
        default: return .agentGone
        }
    }

    private static func check(_ handle: OpaquePointer, _ status: dock_restore_status) throws {
        guard status != DOCK_RESTORE_OK else { return }
        throw DockRestoreError(code: .init(rawValue: Int32(bitPattern: status.rawValue)),
                               message: String(cString: dock_restore_message(handle)))
    }
}
