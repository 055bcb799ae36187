// Registration of the login item that runs dock-restore-recover, so that sessions whose
// owner and agent died together (a power cut, a logout that ended both) are put back at
// the next login even if the application is never opened again. ServiceManagement only
// exists on macOS, and SMAppService from macOS 13 on; elsewhere the command is started
// by the XDG autostart entry or the systemd user unit that `cmake --install` puts in
// place.
#if canImport(ServiceManagement)
import Foundation
import ServiceManagement

/// The launch agent, bundled in `Contents/Library/LaunchAgents`, that runs
/// `dock-restore-recover` once at each login.
///
/// The property list to bundle is `examples/macos/com.example.YourApp.dock-restore-recover.plist`,
/// renamed after the app's bundle identifier; `docs/macos.md` shows the bundle's layout.
/// The user sees the agent under System Settings › General › Login Items, and may turn
/// it off there; `status` then says `.requiresApproval`.
@available(macOS 13.0, *)
public struct LoginRecovery: Sendable {
    /// The name of the launch agent's property list in `Contents/Library/LaunchAgents`.
    public let plistName: String

    /// The agent whose property list is `plistName`.
    public init(plistName: String) {
        self.plistName = plistName
    }

    /// The agent named after the main bundle's identifier,
    /// `<bundle identifier>.dock-restore-recover.plist`; `nil` when the main bundle has
    /// no identifier (a command-line tool).
    public init?() {
        guard let identifier = Bundle.main.bundleIdentifier else { return nil }
        self.init(plistName: "\(identifier).dock-restore-recover.plist")
    }

    /// Where the registration stands, as ServiceManagement reports it (Apple's
    /// `SMAppService.Status`).
    public enum Status: Sendable, Hashable {
        /// Not registered: nothing runs at login. Also a state this code predates.
        case notRegistered
        /// Registered and eligible to run: the command runs at each login.
        case enabled
        /// Registered, but the user has to allow it in System Settings, or has turned it
        /// off there ("SMAppService.Status.requiresApproval"). It is registered: the choice
        /// is the user's.
        case requiresApproval
        /// "An error occurred and the framework couldn't find this service"
        /// ("SMAppService.Status.notFound"): reported for a property list missing from
        /// `Contents/Library/LaunchAgents`, and also for a valid one that was never
        /// registered. Registering then succeeds, or throws what is wrong.
        case notFound
    }

    /// Registers the agent for the current user. It runs at once, and then at each
    /// login. Throws ServiceManagement's error when the system refuses, for example when
    /// the property list is missing or invalid.
    ///
    /// Apple's "register()" asks for one registration per user, made while that user
    /// runs the app: ``registerUnlessRegistered()`` does that at every launch.
    public func register() throws {
        try SMAppService.agent(plistName: plistName).register()
    }

    /// At launch: registers the agent where this user has not registered it yet
    /// (``Status/notRegistered`` or ``Status/notFound``), and leaves it as it is where
    /// it is ``Status/enabled``, or ``Status/requiresApproval`` (the user's to allow).
    ///
    /// - Returns: the status afterwards; ``Status/requiresApproval`` asks the user to
    ///   allow the agent in System Settings › General › Login Items.
    /// - Throws: ServiceManagement's error when registration fails; never swallow it.
    @discardableResult
    public func registerUnlessRegistered() throws -> Status {
        switch status {
        case .enabled, .requiresApproval: break
        case .notRegistered, .notFound: try register()
        }
        return status
    }

    /// Takes the registration back; the command no longer runs at login. Throws
    /// ServiceManagement's error, also when the agent was not registered.
    public func unregister() throws {
        try SMAppService.agent(plistName: plistName).unregister()
    }

    /// The registration's status now.
    public var status: Status {
        switch SMAppService.agent(plistName: plistName).status {
        case .notRegistered: return .notRegistered
        case .enabled: return .enabled
        case .requiresApproval: return .requiresApproval
        case .notFound: return .notFound
        @unknown default: return .notRegistered  // a state this code predates: nothing it knows runs
        }
    }
}
#endif
