// The owner library in Swift's terms: the Dock's settings, the session's state and the
// errors as types. DockRestoreOwner.swift holds the owner itself. Everything is done by
// the C library underneath (dock_restore.h), which documents each call in full.
#if canImport(Darwin) || !canImport(FoundationEssentials)
// On Apple's systems Foundation is part of the system, and brings Bundle.
import Foundation
#else
// Elsewhere the lighter half of Foundation has all this module uses.
import FoundationEssentials
#endif

/// Where the Dock sits on the screen.
public enum Orientation: String, Sendable, CaseIterable {
    /// Along the bottom edge, the Dock's default.
    case bottom
    /// Along the left edge.
    case left
    /// Along the right edge.
    case right
}

/// The Dock's settings while the application has it changed; `nil` leaves a setting as
/// the user has it.
///
/// ``hidden`` keeps the Dock out of the way. `DockSettings()` sets nothing: a first
/// begin with it changes none of the Dock's settings, and an active session begun again
/// with it is renewed as it was, which ``DockRestoreOwner/renew()`` does by name.
public struct DockSettings: Sendable, Equatable {
    /// Whether the Dock hides until the pointer reaches its edge.
    public var autohide: Bool?
    /// Seconds the Dock waits before it appears; not negative.
    public var autohideDelay: Double?
    /// A factor on the show and hide animation; 0 makes it instant.
    public var autohideTimeModifier: Double?
    /// The screen edge the Dock sits on.
    public var orientation: Orientation?
    /// `true` stops icons from bouncing for attention.
    public var noBouncing: Bool?
    /// Whether icons bounce while their application launches.
    public var launchAnimation: Bool?

    /// Settings to apply; every one left `nil` stays as the user has it.
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

/// Where a session stands, as ``DockRestoreOwner/state`` tells it.
public enum SessionState: Sendable, Hashable, CustomStringConvertible {
    /// No session on this owner: never begun, ended, or the owner is closed.
    case inactive
    /// Active, and its agent runs: a crash now is recovered.
    case protected
    /// Active, but its agent no longer runs: call ``DockRestoreOwner/renew()``, once; if
    /// that fails or the agent is gone again, end.
    case agentGone
    /// The owner's snapshot no longer holds its session: another instance or application
    /// has written a session to this owner's own snapshot path since (or the snapshot was
    /// ended or removed by someone else). That session owns the Dock now. Never begin
    /// again: end when this instance would have shown the Dock.
    case takenOver

    /// The state and what to do about it, in a few words.
    public var description: String {
        switch self {
        case .inactive: return "no session"
        case .protected: return "protected: the agent runs"
        case .agentGone: return "agent gone: renew once, or end"
        case .takenOver: return "taken over: another session holds the snapshot; end, never begin"
        }
    }
}

/// A failed call: the library's status and its message, which can be shown as it is.
public struct DockRestoreError: Error, Sendable, Equatable, CustomStringConvertible, LocalizedError {
    /// The library's status. Statuses a newer library adds keep their number; those of the
    /// Swift interface alone are negative.
    public struct Code: RawRepresentable, Hashable, Sendable, CustomStringConvertible {
        /// The status's number: `dock_restore_status` in the C header when positive.
        public let rawValue: Int32
        /// The status with this number, known or not.
        public init(rawValue: Int32) { self.rawValue = rawValue }

        /// A URL that is not a file URL, a relative path, an empty domain, a value the
        /// Dock does not take (a number that is not finite, a negative delay), or, from the
        /// bundle initializer, a bundle without an identifier.
        public static let invalidArgument = Code(rawValue: 1)
        /// The snapshot could not be written, whatever the cause: its folder missing or not
        /// writable, a full disk, any other write error; from the bundle initializer, its
        /// folder could not be created.
        public static let snapshotUnwritable = Code(rawValue: 2)
        /// The agent does not exist, is not executable, or did not start; from the bundle
        /// initializer, the bundle holds no agent.
        public static let agentUnavailable = Code(rawValue: 3)
        /// `end()` or `renew()` with no session: never begun, or already ended; or
        /// `renew()` of a session taken over (``SessionState/takenOver``).
        public static let noSession = Code(rawValue: 4)
        /// The preferences store, the registry of sessions, the random source or memory
        /// failed.
        public static let systemError = Code(rawValue: 5)
        /// The Dock's current settings could not be read; nothing changed.
        public static let dockUnreadable = Code(rawValue: 6)
        /// A call after ``DockRestoreOwner/close()``.
        public static let closed = Code(rawValue: -1)

        /// The status in a few words, or its number when this interface does not know it.
        public var description: String {
            let names: [Code: String] = [
                .invalidArgument: "invalid argument", .snapshotUnwritable: "snapshot unwritable",
                .agentUnavailable: "agent unavailable", .noSession: "no session", .systemError: "system error",
                .dockUnreadable: "Dock unreadable", .closed: "closed",
            ]
            return names[self] ?? "status \(rawValue)"
        }
    }

    /// What kind of failure it was; compare with the constants of ``Code``.
    public let code: Code
    /// What went wrong, in words the application can show its user.
    public let message: String

    /// An error with this status and message.
    public init(code: Code, message: String) {
        self.code = code
        self.message = message
    }

    /// The message, then the status's number.
    public var description: String { "\(message) (status \(code.rawValue))" }
    /// The message.
    public var errorDescription: String? { message }
}
