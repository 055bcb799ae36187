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
/// ``recover()``, ``begin(_:)``, ``renew()`` and ``end()`` are `async`: they do the
/// blocking work (file writes and flushes, starting processes) on the owner's own
/// dispatch queue, never on the caller's executor or on Swift's cooperative pool; the
/// caller is resumed when it is done. Cancelling the task does not stop a call that has
/// started. Each has a blocking twin with its own name, ``recoverBlocking()``,
/// ``beginBlocking(_:)``, ``renewBlocking()`` and ``endBlocking()``, for where nothing
/// can be awaited: `applicationWillTerminate(_:)` and a signal source's handler. The
/// twins are unavailable from async code, so that an `await` never quietly blocks.
public final class DockRestoreOwner: @unchecked Sendable {
    /// The snapshot file the owner writes while a session is active.
    public let snapshot: URL
    /// The preferences domain that holds the owner's marker: the bundle identifier.
    public let domain: String
    /// The `dock-restore-agent` executable the owner starts.
    public let agent: URL

    // The C handle is for one thread at a time. Calls run one after another on `queue`;
    // `guardQueue` guards `handle`, `busy` and `lastKnown`. While a call runs (`busy`)
    // only it uses the handle, and `state` answers `lastKnown`, the state as that call
    // found it; otherwise `state` asks the handle itself. That is what makes the class
    // Sendable, and `state` never waits for a call.
    private let queue = DispatchQueue(label: "dock-restore-owner")
    private let guardQueue = DispatchQueue(label: "dock-restore-owner.state")
    private var handle: OpaquePointer?
    private var busy = false
    private var lastKnown = SessionState.inactive

    /// An owner with every part given.
    ///
    /// - Parameters:
    ///   - snapshot: a file URL, of a file in a folder only the user can write
    ///     (Application Support), the same for every instance of the application.
    ///   - domain: the application's preferences domain, its bundle identifier.
    ///   - agent: the file URL of the `dock-restore-agent` executable, inside the
    ///     application's bundle.
    /// - Throws: ``DockRestoreError`` with ``DockRestoreError/Code/invalidArgument`` when
    ///   `snapshot` or `agent` is not a file URL, ``DockRestoreError/Code/systemError``
    ///   when memory runs out. The domain and the files are checked by the first call
    ///   that uses them.
    public init(snapshot: URL, domain: String, agent: URL) throws(DockRestoreError) {
        try Self.requireFileURLs(snapshot, agent)
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
    /// ``SessionState/inactive``. Closing again does nothing.
    public func close() {
        queue.sync {
            guardQueue.sync {
                if let handle { dock_restore_close(handle) }
                handle = nil
                lastKnown = .inactive
            }
        }
    }

    // MARK: - Calls

    /// At launch: finishes a session that an earlier run left behind when it died together
    /// with its agent.
    ///
    /// - Returns: `true` when it found such a session and finished it: the user's
    ///   settings are back (each that the session applied and the Dock still held; a
    ///   change the user made meanwhile stays), or, while another application's session
    ///   is live, come back when the last live session ends; either way the application
    ///   need not do more.
    ///   `false` when nothing was left behind.
    /// - Throws: ``DockRestoreError``; nothing changed.
    @discardableResult
    public func recover() async throws(DockRestoreError) -> Bool {
        try await later(Self.recover)
    }

    /// Records the Dock as the user has it, starts the agent, then applies `settings`.
    ///
    /// Begin again to change the settings: the user's originals are kept, and the
    /// session's earlier settings stay applied under the new ones. All or nothing: when
    /// one value is refused or a step fails, nothing is applied, now or by a later call.
    ///
    /// - Parameter settings: what the Dock shows during the session, such as
    ///   ``DockSettings/hidden``.
    /// - Throws: ``DockRestoreError``; files, preferences and agents are as before.
    public func begin(_ settings: DockSettings) async throws(DockRestoreError) {
        try await later { handle throws(DockRestoreError) in try Self.begin(handle, settings) }
    }

    /// After ``SessionState/agentGone``: starts a new agent and applies the settings the
    /// session has applied so far, which the user's originals still back. The C
    /// interface's begin with nothing set.
    ///
    /// - Throws: ``DockRestoreError``, ``DockRestoreError/Code/noSession`` when no session
    ///   was begun, or when it was taken over (``SessionState/takenOver``: the Dock is
    ///   another session's then); then end the session.
    public func renew() async throws(DockRestoreError) {
        try await later(Self.renew)
    }

    /// Puts the user's Dock back and ends the session: on quit, and on `SIGTERM`. Only
    /// what the session applied goes back, and only where the Dock still holds it: a
    /// setting the user changed during the session keeps the user's value.
    ///
    /// - Throws: ``DockRestoreError``, ``DockRestoreError/Code/noSession`` when no session
    ///   is active; after ``DockRestoreError/Code/systemError`` the session stays active.
    public func end() async throws(DockRestoreError) {
        try await later(Self.end)
    }

    // MARK: - Blocking twins

    /// ``recover()``, blocking the calling thread until it is done.
    @available(*, noasync, message: "use await recover(), which blocks no thread")
    @discardableResult
    public func recoverBlocking() throws(DockRestoreError) -> Bool {
        try now(Self.recover)
    }

    /// ``begin(_:)``, blocking the calling thread until it is done.
    @available(*, noasync, message: "use await begin(_:), which blocks no thread")
    public func beginBlocking(_ settings: DockSettings) throws(DockRestoreError) {
        try now { handle throws(DockRestoreError) in try Self.begin(handle, settings) }
    }

    /// ``renew()``, blocking the calling thread until it is done.
    @available(*, noasync, message: "use await renew(), which blocks no thread")
    public func renewBlocking() throws(DockRestoreError) {
        try now(Self.renew)
    }

    /// ``end()``, blocking the calling thread until it is done: from
    /// `applicationWillTerminate(_:)`, it returns when the Dock is back.
    @available(*, noasync, message: "use await end(), which blocks no thread")
    public func endBlocking() throws(DockRestoreError) {
        try now(Self.end)
    }

    /// Where the session stands; cheap enough to ask from a timer or the main thread.
    ///
    /// It never waits for a call: while one runs on this owner, it answers the state as
    /// that call found it when it started; the call's outcome shows once it returns.
    public var state: SessionState {
        guardQueue.sync {
            if !busy, let handle { lastKnown = Self.state(handle) }
            return lastKnown
        }
    }

    // A URL of another scheme would still yield a path, "/snap.plist" for
    // "https://example.com/snap.plist", and the owner would write there.
    static func requireFileURLs(_ urls: URL?...) throws(DockRestoreError) {
        for url in urls.compactMap({ $0 }) where !url.isFileURL {
            throw DockRestoreError(code: .invalidArgument, message: "\"\(url.absoluteString)\" is not a file URL")
        }
    }

    // MARK: - On the queue

    private func now<T>(_ call: (OpaquePointer) throws(DockRestoreError) -> T) throws(DockRestoreError) -> T {
        try queue.sync { run(call) }.get()
    }

    private func later<T: Sendable>(
        _ call: @escaping @Sendable (OpaquePointer) throws(DockRestoreError) -> T
    ) async throws(DockRestoreError) -> T {
        try await withCheckedContinuation { continuation in
            queue.async { continuation.resume(returning: self.run(call)) }
        }.get()
    }

    // On `queue`: the handle is the call's alone until it returns.
    private func run<T>(_ call: (OpaquePointer) throws(DockRestoreError) -> T) -> Result<T, DockRestoreError> {
        guard let handle = claim() else {
            return .failure(DockRestoreError(code: .closed, message: "the Dock owner is closed"))
        }
        let result: Result<T, DockRestoreError>
        do {
            result = .success(try call(handle))
        } catch {
            result = .failure(error)
        }
        release(handle)
        return result
    }

    private func claim() -> OpaquePointer? {
        guardQueue.sync {
            guard let handle else { return nil }
            lastKnown = Self.state(handle)
            busy = true
            return handle
        }
    }

    private func release(_ handle: OpaquePointer) {
        guardQueue.sync {
            lastKnown = Self.state(handle)
            busy = false
        }
    }

    private static func recover(_ handle: OpaquePointer) throws(DockRestoreError) -> Bool {
        var restored: Int32 = 0
        try check(handle, dock_restore_recover(handle, &restored))
        return restored != 0
    }

    private static func begin(_ handle: OpaquePointer, _ settings: DockSettings) throws(DockRestoreError) {
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

    private static func renew(_ handle: OpaquePointer) throws(DockRestoreError) {
        switch state(handle) {
        case .inactive: throw DockRestoreError(code: .noSession, message: "there is no session to renew")
        case .takenOver:
            // Begun again, it would take the Dock from the session that holds the snapshot.
            throw DockRestoreError(code: .noSession,
                                   message: "another session holds the snapshot now; end this one instead")
        case .protected, .agentGone:
            // Begun again with nothing new, the session applies what it applied before.
            try begin(handle, DockSettings())
        }
    }

    private static func end(_ handle: OpaquePointer) throws(DockRestoreError) {
        try check(handle, dock_restore_end(handle))
    }

    private static func state(_ handle: OpaquePointer) -> SessionState {
        switch dock_restore_get_state(handle) {
        case DOCK_RESTORE_STATE_NONE: return .inactive
        case DOCK_RESTORE_STATE_PROTECTED: return .protected
        case DOCK_RESTORE_STATE_TAKEN_OVER: return .takenOver
        // A state a newer library adds is at least not protected.
        default: return .agentGone
        }
    }

    private static func check(_ handle: OpaquePointer, _ status: dock_restore_status) throws(DockRestoreError) {
        guard status != DOCK_RESTORE_OK else { return }
        throw DockRestoreError(code: .init(rawValue: Int32(bitPattern: status.rawValue)),
                               message: String(cString: dock_restore_message(handle)))
    }
}
