// The owner library in Swift's terms: one object per application, errors thrown, the
// Dock's settings and the session's state as types. Everything is done by the C
// library underneath (dock_restore.h), which documents each call in full.
import CDockRestore
import Foundation

/// Where the Dock sits on the screen.
public enum Orientation: String, Sendable, CaseIterable {
    case bottom, left, right
}

/// The Dock's settings while the application has it changed; `nil` leaves a setting as
/// the user has it.
public struct DockSettings: Sendable, Equatable {
    public var autohide: Bool?
    /// Seconds the Dock waits before it appears.
    public var autohideDelay: Double?
    /// A factor on the show and hide animation; 0 makes it instant.
    public var autohideTimeModifier: Double?
    public var orientation: Orientation?
    public var noBouncing: Bool?
    public var launchAnimation: Bool?

    public init(autohide: Bool? = nil, autohideDelay: Double? = nil, autohideTimeModifier: Double? = nil,
                orientation: Orientation? = nil, noBouncing: Bool? = nil, launchAnimation: Bool? = nil) {
        self.autohide = autohide
        self.autohideDelay = autohideDelay
        self.autohideTimeModifier = autohideTimeModifier
        self.orientation = orientation
        self.noBouncing = noBouncing
        self.launchAnimation = launchAnimation
    }

    /// Out of the way: the Dock hides at once and waits 1000 seconds before it appears
    /// again, with no animations.
    public static let hidden = DockSettings(autohide: true, autohideDelay: 1000, autohideTimeModifier: 0,
                                            noBouncing: true, launchAnimation: false)
}

/// Where a session stands.
public enum SessionState: Sendable, Hashable {
    /// No session on this handle: never begun, or ended.
    case none
    /// Active, and its agent runs: a crash now is recovered.
    case protected
    /// Active, but its agent no longer runs: begin again, once; if that fails or the
    /// agent is gone again, end.
    case agentGone
    /// Another instance or application has begun a session since; it owns the Dock now.
    /// Never begin again: end when this instance would have shown the Dock.
    case takenOver
}

/// A failed call: the library's status and its message, which can be shown as it is.
public struct DockRestoreError: Error, Sendable, Equatable, CustomStringConvertible, LocalizedError {
    /// The library's status. Statuses a newer library adds keep their number.
    public struct Code: RawRepresentable, Hashable, Sendable {
        public let rawValue: Int32
        public init(rawValue: Int32) { self.rawValue = rawValue }

        /// A relative path, an empty domain, or a value the Dock does not take.
        public static let invalidArgument = Code(rawValue: 1)
        /// The snapshot's folder is missing or not writable.
        public static let snapshotUnwritable = Code(rawValue: 2)
        /// The agent does not exist, is not executable, or did not start.
        public static let agentUnavailable = Code(rawValue: 3)
        /// `end()` with no session: never begun, or already ended.
        public static let noSession = Code(rawValue: 4)
        /// The preferences store, the random source or memory failed.
        public static let systemError = Code(rawValue: 5)
        /// The Dock's current settings could not be read; nothing changed.
        public static let dockUnreadable = Code(rawValue: 6)
    }

    public let code: Code
    public let message: String

    public init(code: Code, message: String) {
        self.code = code
        self.message = message
    }

    public var description: String { "\(message) (status \(code.rawValue))" }
    public var errorDescription: String? { message }
}

/// One application's handle on the Dock. Call `recover()` at every launch, `begin(_:)`
/// to change the Dock and `end()` before quitting. Not for two threads at once.
public final class DockRestoreOwner {
    private let handle: OpaquePointer

    /// - Parameters:
    ///   - snapshot: a file in a folder only the user can write (Application Support).
    ///   - domain: the application's preferences domain, its bundle identifier.
    ///   - agent: the dock-restore-agent executable, inside the application's bundle.
    public init(snapshot: URL, domain: String, agent: URL) throws {
        guard let handle = snapshot.withUnsafeFileSystemRepresentation({ snapshotPath in
            agent.withUnsafeFileSystemRepresentation { agentPath in
                dock_restore_open(snapshotPath, domain, agentPath)
            }
        }) else {
            throw DockRestoreError(code: .systemError, message: "out of memory")
        }
        self.handle = handle
    }

    /// Frees the handle. An active session is not ended: its agent still restores the
    /// Dock when the application exits.
    deinit { dock_restore_close(handle) }

    /// At launch: puts the Dock back after a crash that took the agent down too.
    /// - Returns: whether it restored the Dock.
    @discardableResult
    public func recover() throws -> Bool {
        var restored: Int32 = 0
        try check(dock_restore_recover(handle, &restored))
        return restored != 0
    }

    /// Records the Dock as the user has it, starts the agent, then applies `settings`.
    /// Begin again to change them: the user's originals are kept.
    public func begin(_ settings: DockSettings = .hidden) throws {
        if let value = settings.orientation { try check(dock_restore_set_string(handle, "orientation", value.rawValue)) }
        if let value = settings.autohide { try check(dock_restore_set_bool(handle, "autohide", value ? 1 : 0)) }
        if let value = settings.autohideDelay { try check(dock_restore_set_number(handle, "autohide-delay", value)) }
        if let value = settings.autohideTimeModifier {
            try check(dock_restore_set_number(handle, "autohide-time-modifier", value))
        }
        if let value = settings.noBouncing { try check(dock_restore_set_bool(handle, "no-bouncing", value ? 1 : 0)) }
        if let value = settings.launchAnimation { try check(dock_restore_set_bool(handle, "launchanim", value ? 1 : 0)) }
        try check(dock_restore_begin(handle))
    }

    /// Puts the user's Dock back and ends the session: on quit, and on SIGTERM.
    public func end() throws {
        try check(dock_restore_end(handle))
    }

    /// Where the session stands; cheap enough to ask from a timer.
    public var state: SessionState {
        switch dock_restore_get_state(handle) {
        case DOCK_RESTORE_STATE_NONE: return .none
        case DOCK_RESTORE_STATE_PROTECTED: return .protected
        case DOCK_RESTORE_STATE_TAKEN_OVER: return .takenOver
        // A state a newer library adds is at least not protected.
        default: return .agentGone
        }
    }

    private func check(_ status: dock_restore_status) throws {
        guard status != DOCK_RESTORE_OK else { return }
        throw DockRestoreError(code: .init(rawValue: Int32(bitPattern: status.rawValue)),
                               message: String(cString: dock_restore_message(handle)))
    }
}
