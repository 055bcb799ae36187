// Setup in one line for an application bundle: the agent inside it, the snapshot in the
// application's own folder of Application Support, the bundle identifier as the domain.
#if canImport(Darwin) || !canImport(FoundationEssentials)
import Foundation
#else
import FoundationEssentials
#endif

extension DockRestoreOwner {
    /// The agent's file name, as the package and the CMake build make it.
    public static let agentName = "dock-restore-agent"
    /// The snapshot's file name inside the application's folder.
    public static let snapshotName = "dock-snapshot.plist"

    /// An owner for the application bundle at `applicationBundle`: the agent inside it,
    /// the snapshot in the application's folder of Application Support, the bundle
    /// identifier as the domain.
    ///
    /// The agent is `Contents/Helpers/dock-restore-agent` in the bundle, or else
    /// `Contents/MacOS/dock-restore-agent`. The snapshot is `dock-snapshot.plist` in
    /// Application Support, in a folder named after the bundle identifier
    /// (`CFBundleIdentifier` in `Contents/Info.plist`), which is created with mode 0700
    /// when missing. The domain is the bundle identifier. Each can be given instead.
    /// - Parameters:
    ///   - applicationBundle: the `.app` folder.
    ///   - agent: the agent, instead of the one in the bundle.
    ///   - snapshotFolder: the snapshot's folder, instead of Application Support's; it too
    ///     is created with mode 0700 when missing.
    ///   - domain: the preferences domain, instead of the bundle identifier.
    /// - Throws: ``DockRestoreError`` with ``DockRestoreError/Code/agentUnavailable`` when
    ///   the bundle holds no executable agent, ``DockRestoreError/Code/invalidArgument``
    ///   when it has no identifier and no domain is given or a URL is not a file URL, and
    ///   ``DockRestoreError/Code/snapshotUnwritable`` when the folder cannot be created.
    public convenience init(applicationBundle: URL, agent: URL? = nil, snapshotFolder: URL? = nil,
                            domain: String? = nil) throws(DockRestoreError) {
        try Self.requireFileURLs(applicationBundle, agent, snapshotFolder)  // before Info.plist is read
        struct Info: Decodable { let CFBundleIdentifier: String? }
        let contents = applicationBundle.appendingPathComponent("Contents")
        let info = try? PropertyListDecoder().decode(
            Info.self, from: Data(contentsOf: contents.appendingPathComponent("Info.plist")))
        let (snapshot, domain, agent) = try Self.layout(
            bundle: applicationBundle, identifier: info?.CFBundleIdentifier,
            auxiliaryAgent: contents.appendingPathComponent("MacOS/\(Self.agentName)"), agent: agent,
            snapshotFolder: snapshotFolder, domain: domain)
        try self.init(snapshot: snapshot, domain: domain, agent: agent)
    }

    #if canImport(Darwin) || !canImport(FoundationEssentials)
    /// An owner for an application in one line: `try DockRestoreOwner()`.
    ///
    /// As ``init(applicationBundle:agent:snapshotFolder:domain:)`` with `bundle`'s own
    /// identifier; the agent is also found wherever `url(forAuxiliaryExecutable:)` finds it.
    /// - Parameters:
    ///   - bundle: the application's bundle; the main bundle when left out.
    ///   - agent: the agent, instead of the one in the bundle.
    ///   - snapshotFolder: the snapshot's folder, instead of Application Support's.
    ///   - domain: the preferences domain, instead of the bundle identifier.
    /// - Throws: ``DockRestoreError``, as ``init(applicationBundle:agent:snapshotFolder:domain:)``.
    public convenience init(bundle: Bundle = .main, agent: URL? = nil, snapshotFolder: URL? = nil,
                            domain: String? = nil) throws(DockRestoreError) {
        let (snapshot, domain, agent) = try Self.layout(
            bundle: bundle.bundleURL, identifier: bundle.bundleIdentifier,
            auxiliaryAgent: bundle.url(forAuxiliaryExecutable: Self.agentName), agent: agent,
            snapshotFolder: snapshotFolder, domain: domain)
        try self.init(snapshot: snapshot, domain: domain, agent: agent)
    }
    #else
    /// An owner for an application in one line, `try DockRestoreOwner()`, where
    /// Foundation's `Bundle` is not at hand: the main bundle is the one whose
    /// `Contents/MacOS` holds the running executable.
    ///
    /// Everything else as ``init(applicationBundle:agent:snapshotFolder:domain:)``.
    /// - Parameters:
    ///   - agent: the agent, instead of the one in the bundle.
    ///   - snapshotFolder: the snapshot's folder, instead of Application Support's.
    ///   - domain: the preferences domain, instead of the bundle identifier.
    /// - Throws: ``DockRestoreError`` as ``init(applicationBundle:agent:snapshotFolder:domain:)``.
    public convenience init(agent: URL? = nil, snapshotFolder: URL? = nil,
                            domain: String? = nil) throws(DockRestoreError) {
        let executable = (try? FileManager.default.destinationOfSymbolicLink(atPath: "/proc/self/exe"))
            ?? CommandLine.arguments[0]
        let bundle = URL(fileURLWithPath: executable).deletingLastPathComponent().deletingLastPathComponent()
            .deletingLastPathComponent()
        try self.init(applicationBundle: bundle, agent: agent, snapshotFolder: snapshotFolder, domain: domain)
    }
    #endif

    private static func layout(bundle: URL, identifier: String?, auxiliaryAgent: URL?, agent: URL?,
                               snapshotFolder: URL?, domain: String?) throws(DockRestoreError) -> (URL, String, URL) {
        try requireFileURLs(bundle, agent, snapshotFolder)
        guard let domain = domain ?? identifier, !domain.isEmpty else {
            throw DockRestoreError(code: .invalidArgument,
                                   message: "the bundle \"\(bundle.path)\" has no identifier (CFBundleIdentifier in "
                                       + "Contents/Info.plist); give the domain")
        }
        let candidates = [bundle.appendingPathComponent("Contents/Helpers/\(agentName)")] + [auxiliaryAgent].compactMap { $0 }
        guard let agent = agent ?? candidates.first(where: { FileManager.default.isExecutableFile(atPath: $0.path) })
        else {
            throw DockRestoreError(code: .agentUnavailable,
                                   message: "the bundle \"\(bundle.path)\" holds no executable \(agentName) in "
                                       + "Contents/Helpers or Contents/MacOS; copy it there or give the agent")
        }
        func unwritable(_ path: String, _ error: any Error) -> DockRestoreError {
            let reason = (error as? LocalizedError)?.errorDescription ?? "\(error)"
            return DockRestoreError(code: .snapshotUnwritable,
                                    message: "cannot create the snapshot's folder \"\(path)\": \(reason)")
        }
        let folder: URL
        do {
            folder = try snapshotFolder
                ?? FileManager.default.url(for: .applicationSupportDirectory, in: .userDomainMask,
                                           appropriateFor: nil, create: true).appendingPathComponent(domain)
        } catch {
            throw unwritable("Application Support", error)
        }
        do {
            try FileManager.default.createDirectory(at: folder, withIntermediateDirectories: true,
                                                    attributes: [.posixPermissions: 0o700])
        } catch {
            throw unwritable(folder.path, error)
        }
        return (folder.appendingPathComponent(snapshotName), domain, agent)
    }
}
