import DockRestore
import Foundation
import XCTest

// Lifecycle and setup: nothing here starts an agent.
final class OwnerSetupTests: XCTestCase {
    private var folder: URL!

    override func setUpWithError() throws {
        folder = FileManager.default.temporaryDirectory.appendingPathComponent("dock-restore-\(UUID().uuidString)")
        try FileManager.default.createDirectory(at: folder, withIntermediateDirectories: false)
    }

    override func tearDownWithError() throws {
        try FileManager.default.removeItem(at: folder)
    }

    func testEveryCallAfterCloseThrowsClosed() async throws {
        let dock = try DockRestoreOwner(snapshot: folder.appendingPathComponent("s.plist"), domain: "org.example.app",
                                        agent: folder.appendingPathComponent("agent"))
        dock.close()
        let calls: [(String, (DockRestoreOwner) async throws -> Void)] = [
            ("begin", { try $0.begin() }), ("renew", { try $0.renew() }), ("end", { try $0.end() }),
            ("recover", { try $0.recover() }), ("async begin", { try await $0.begin() }),
            ("async renew", { try await $0.renew() }), ("async end", { try await $0.end() }),
            ("async recover", { try await $0.recover() }),
        ]
        for (name, call) in calls {
            do {
                try await call(dock)
                XCTFail("\(name) after close")
            } catch {
                XCTAssertEqual((error as? DockRestoreError)?.code, .closed, name)
            }
        }
        XCTAssertEqual(dock.state, .none)
        dock.close()
    }

    func testTheBundleInitializerFindsTheAgentFolderAndDomain() throws {
        enum Outcome: Equatable { case agent(String, domain: String), refused(DockRestoreError.Code?) }
        let (helpers, macOS) = ("Fake.app/Contents/Helpers/dock-restore-agent", "Fake.app/Contents/MacOS/dock-restore-agent")
        let info = "Fake.app/Contents/Info.plist"
        let cases: [(files: [String], agent: String?, domain: String?, Outcome)] = [
            ([info, helpers], nil, nil, .agent(helpers, domain: "org.example.fake")),
            ([info, macOS], nil, nil, .agent(macOS, domain: "org.example.fake")),
            ([info, macOS, helpers], nil, nil, .agent(helpers, domain: "org.example.fake")),
            ([info], nil, nil, .refused(.agentUnavailable)),
            ([info], "given-agent", nil, .agent("given-agent", domain: "org.example.fake")),
            ([helpers], nil, nil, .refused(.invalidArgument)),
            ([helpers], nil, "org.example.given", .agent(helpers, domain: "org.example.given")),
        ]
        for (index, (files, agent, domain, expected)) in cases.enumerated() {
            let base = folder.appendingPathComponent("\(index)")
            for file in files {
                let url = base.appendingPathComponent(file)
                try FileManager.default.createDirectory(at: url.deletingLastPathComponent(),
                                                        withIntermediateDirectories: true)
                try PropertyListEncoder().encode(["CFBundleIdentifier": "org.example.fake"]).write(to: url)
                try FileManager.default.setAttributes([.posixPermissions: 0o755], ofItemAtPath: url.path)
            }
            let snapshotFolder = base.appendingPathComponent("Support/app")
            var outcome: Outcome
            do {
                let dock = try DockRestoreOwner(applicationBundle: base.appendingPathComponent("Fake.app"),
                                                agent: agent.map { base.appendingPathComponent($0) },
                                                snapshotFolder: snapshotFolder, domain: domain)
                outcome = .agent(String(dock.agent.path.dropFirst(base.path.count + 1)), domain: dock.domain)
                XCTAssertEqual(dock.snapshot.path, snapshotFolder.appendingPathComponent("dock-snapshot.plist").path)
                let attributes = try FileManager.default.attributesOfItem(atPath: snapshotFolder.path)
                XCTAssertEqual(attributes[.posixPermissions] as? Int, 0o700, "case \(index)")
            } catch {
                outcome = .refused((error as? DockRestoreError)?.code)
                XCTAssertFalse(FileManager.default.fileExists(atPath: snapshotFolder.path), "case \(index)")
            }
            XCTAssertEqual(outcome, expected, "case \(index)")
        }
    }
}

#if os(Linux)
// Sessions with the real agent in a scratch HOME: never on macOS, where the preferences
// would be the user's own. A begin runs `killall Dock`: scripts/test.sh runs these in a
// PID namespace of their own (tests/e2e/run_isolated.sh).
final class SessionTests: XCTestCase {
    private struct Dock: Codable, Equatable {
        var orientation: String?
        var autohide: Bool?
        var autohideDelay: Double?
        enum CodingKeys: String, CodingKey { case orientation, autohide, autohideDelay = "autohide-delay" }
    }

    private let usersDock = Dock(orientation: "left", autohide: false)
    private var folder: URL!
    private var dockFile: URL { folder.appendingPathComponent(".config/com.apple.dock.plist") }

    override func setUpWithError() throws {
        folder = FileManager.default.temporaryDirectory.appendingPathComponent("dock-restore-\(UUID().uuidString)")
        try FileManager.default.createDirectory(at: folder.appendingPathComponent(".config"),
                                                withIntermediateDirectories: true)
        setenv("HOME", folder.path, 1)
        unsetenv("XDG_CONFIG_HOME")
        try setDock(usersDock)
    }

    override func tearDownWithError() throws {
        try FileManager.default.removeItem(at: folder)
    }

    private func setDock(_ dock: Dock) throws { try PropertyListEncoder().encode(dock).write(to: dockFile) }
    private func dock() throws -> Dock { try PropertyListDecoder().decode(Dock.self, from: Data(contentsOf: dockFile)) }

    private func owner(_ name: String) throws -> DockRestoreOwner {
        let built = URL(fileURLWithPath: CommandLine.arguments[0]).deletingLastPathComponent()
        return try DockRestoreOwner(snapshot: folder.appendingPathComponent("\(name).plist"), domain: "org.example.\(name)",
                                    agent: built.appendingPathComponent("dock-restore-agent"))
    }

    // The agents watching `dock`'s snapshot, once as many as `expected` are left (those of
    // sessions begun over stand down on their own), or after 10 s.
    private func agents(of dock: DockRestoreOwner, expected: Int) -> [Int32] {
        for _ in 0..<200 {
            let pids = ((try? FileManager.default.contentsOfDirectory(atPath: "/proc")) ?? []).compactMap { entry in
                let arguments = (try? Data(contentsOf: URL(fileURLWithPath: "/proc/\(entry)/cmdline")))?.split(separator: 0)
                return arguments?.count == 5 && String(decoding: arguments![1], as: UTF8.self) == dock.snapshot.path
                    ? Int32(entry) : nil
            }
            if pids.count == expected { return pids }
            usleep(50_000)
        }
        return []
    }

    func testABeginWithARefusedValueLeavesNothingStaged() throws {
        let dock = try owner("app")
        let refused = [  // one refused number, before, among and after the values the Dock takes
            DockSettings(autohideDelay: -1, noBouncing: true, launchAnimation: false),
            DockSettings(autohide: true, autohideDelay: -1, orientation: .right),
            DockSettings(autohide: true, autohideDelay: 5, autohideTimeModifier: .nan, orientation: .right,
                         noBouncing: true),
            DockSettings(autohide: true, autohideTimeModifier: .infinity, orientation: .bottom),
        ]
        for settings in refused {
            XCTAssertThrowsError(try dock.begin(settings), "\(settings)") { error in
                XCTAssertEqual((error as? DockRestoreError)?.code, .invalidArgument)
            }
            XCTAssertEqual(dock.state, .none)
            try dock.begin(DockSettings())
            XCTAssertEqual(try self.dock(), usersDock, "\(settings)")
            try dock.end()
        }
    }

    func testRenewAfterTheAgentIsKilledAppliesTheSessionsOwnSettings() async throws {
        let dock = try owner("app")
        do {
            try await dock.renew()
            XCTFail("renew without a session")
        } catch {
            XCTAssertEqual((error as? DockRestoreError)?.code, .noSession)
        }
        try await dock.begin(DockSettings(autohide: true, orientation: .right))
        let agent = try XCTUnwrap(agents(of: dock, expected: 1).first)
        kill(agent, SIGKILL)
        for _ in 0..<200 where dock.state != .agentGone { usleep(50_000) }
        XCTAssertEqual(dock.state, .agentGone)
        try setDock(usersDock)  // lost with the agent, say
        try await dock.renew()
        XCTAssertEqual(dock.state, .protected)
        XCTAssertEqual(try self.dock(), Dock(orientation: "right", autohide: true))
        try await dock.end()
        XCTAssertEqual(try self.dock(), usersDock)
    }

    func testAsyncBeginAndEndFromManyTasksOnOneOwnerAndOnTwo() async throws {
        for count in [1, 2] {
            let owners = try (0..<count).map { try owner("app\($0)") }
            try await withThrowingTaskGroup(of: Void.self) { group in
                for task in 0..<16 {
                    let dock = owners[task % count]
                    group.addTask { try await dock.begin(task % 3 == 0 ? .hidden : DockSettings(orientation: .right)) }
                }
                try await group.waitForAll()
            }
            for dock in owners {
                XCTAssertEqual(dock.state, .protected)
                XCTAssertEqual(agents(of: dock, expected: 1).count, 1, "one agent per session")
            }
            try await withThrowingTaskGroup(of: Void.self) { group in
                for dock in owners { group.addTask { try await dock.end() } }
                try await group.waitForAll()
            }
            XCTAssertEqual(try self.dock(), usersDock)
            for dock in owners { XCTAssertEqual(agents(of: dock, expected: 0), []) }
        }
    }
}
#endif
