import DockRestore
import Foundation
import XCTest

#if os(Linux)
// Sessions with the real agent in a scratch HOME: never on macOS, where the preferences
// would be the user's own. A begin runs `killall Dock`: scripts/test.sh runs these in a
// PID namespace of their own (tests/e2e/run_isolated.sh).
final class SessionTests: XCTestCase {
    private struct Dock: Codable, Equatable {
        var orientation: String?, autohide: Bool?, delay: Double?
        enum CodingKeys: String, CodingKey { case orientation, autohide, delay = "autohide-delay" }
    }

    private let usersDock = Dock(orientation: "left", autohide: false)
    private var home: URL!
    private var dockFile: URL { home.appendingPathComponent(".config/com.apple.dock.plist") }
    private var dock: Dock { get throws { try PropertyListDecoder().decode(Dock.self, from: Data(contentsOf: dockFile)) } }

    override func setUpWithError() throws {
        home = FileManager.default.temporaryDirectory.appendingPathComponent("dock-restore-\(UUID().uuidString)")
        try FileManager.default.createDirectory(at: dockFile.deletingLastPathComponent(), withIntermediateDirectories: true)
        setenv("HOME", home.path, 1)
        unsetenv("XDG_CONFIG_HOME")
        try PropertyListEncoder().encode(usersDock).write(to: dockFile)
    }

    override func tearDownWithError() throws {
        try FileManager.default.removeItem(at: home)
    }

    private func owner(_ name: String) throws -> DockRestoreOwner {
        let built = URL(fileURLWithPath: CommandLine.arguments[0]).deletingLastPathComponent()
        return try DockRestoreOwner(snapshot: home.appendingPathComponent("\(name).plist"), domain: "org.example.\(name)",
                                    agent: built.appendingPathComponent("dock-restore-agent"))
    }

    // The agents watching `owner`'s snapshot, once `expected` are left (those of sessions
    // begun over stand down by themselves), or after 10 s.
    private func agents(of owner: DockRestoreOwner, expected: Int) -> [Int32] {
        var pids: [Int32] = []
        for _ in 0..<200 {
            pids = ((try? FileManager.default.contentsOfDirectory(atPath: "/proc")) ?? []).compactMap { entry in
                let arguments = (try? Data(contentsOf: URL(fileURLWithPath: "/proc/\(entry)/cmdline")))?.split(separator: 0)
                return arguments?.count == 5 && arguments?[1] == Data(owner.snapshot.path.utf8) ? Int32(entry) : nil
            }
            if pids.count == expected { break }
            usleep(50_000)
        }
        return pids
    }

    func testABeginWithARefusedValueLeavesNothingStaged() async throws {
        let owner = try owner("app")
        for settings in [  // one refused number, before and after values the Dock takes
            DockSettings(autohideDelay: -1, noBouncing: true, launchAnimation: false),
            DockSettings(autohide: true, autohideDelay: -1, orientation: .right),
        ] {
            let code = await thrownCode { try await owner.begin(settings) }
            XCTAssertEqual(code, .invalidArgument)
            XCTAssertEqual(owner.state, .inactive)
            try await owner.begin(DockSettings())
            XCTAssertEqual(try dock, usersDock, "\(settings)")
            try await owner.end()
        }
    }

    func testRenewAfterTheAgentIsKilledAppliesTheSessionsOwnSettings() async throws {
        let owner = try owner("app")
        try await owner.begin(DockSettings(autohide: true, orientation: .right))
        kill(try XCTUnwrap(agents(of: owner, expected: 1).first), SIGKILL)
        for _ in 0..<200 where owner.state != .agentGone { usleep(50_000) }
        XCTAssertEqual(owner.state, .agentGone)
        try PropertyListEncoder().encode(usersDock).write(to: dockFile)  // lost with the agent, say
        try await owner.renew()
        XCTAssertEqual(owner.state, .protected)
        XCTAssertEqual(try dock, Dock(orientation: "right", autohide: true))
        // Another instance begins on the same snapshot: renewing would take the Dock back.
        let other = try self.owner("app")
        try await other.begin(.hidden)
        XCTAssertEqual(owner.state, .takenOver)
        let code = await thrownCode { try await owner.renew() }
        XCTAssertEqual(code, .noSession)
        try await owner.end()
        try await other.end()
        XCTAssertEqual(try dock, usersDock)
    }

    func testStateAnswersWhileACallWaitsForTheRegistry() async throws {
        let owner = try owner("app")
        try await owner.begin(.hidden)
        // Holding the registry's lock keeps the end below waiting inside the library.
        let lockPath = home.appendingPathComponent(".local/state/dock-restore/sessions/.lock").path
        let lock = open(lockPath, O_RDWR)
        XCTAssertEqual(flock(lock, LOCK_EX), 0)
        let ending = Task { try await owner.end() }
        let inode = try XCTUnwrap(FileManager.default.attributesOfItem(atPath: lockPath)[.systemFileNumber] as? UInt64)
        func endWaits() -> Bool {  // a waiter for the lock, as /proc/locks lists it: "-> FLOCK …"
            let locks = (try? String(contentsOfFile: "/proc/locks", encoding: .utf8)) ?? ""
            return locks.split(separator: "\n").contains { $0.contains("->") && $0.contains(":\(inode) ") }
        }
        for _ in 0..<200 where !endWaits() { usleep(50_000) }
        XCTAssertTrue(endWaits())
        let answer = await withTaskGroup(of: SessionState?.self) { group in
            group.addTask { owner.state }
            // Not a time limit on state: only what keeps a state that waits from hanging the test.
            group.addTask { try? await Task.sleep(nanoseconds: 60_000_000_000); return nil }
            let first = await group.next() ?? nil
            close(lock)  // lets the end go on, and a state that waited for it answer
            group.cancelAll()
            return first
        }
        XCTAssertEqual(answer, .protected, "the state as the end found it, while it waits")
        try await ending.value
        XCTAssertEqual(owner.state, .inactive)
    }

    func testAsyncBeginAndEndFromManyTasksOnOneOwnerAndOnTwo() async throws {
        for owners in [[try owner("one")], [try owner("first"), try owner("second")]] {
            try await withThrowingTaskGroup(of: Void.self) { group in
                for task in 0..<16 {
                    let settings = task % 3 == 0 ? DockSettings.hidden : DockSettings(orientation: .right)
                    group.addTask { try await owners[task % owners.count].begin(settings) }
                }
                try await group.waitForAll()
            }
            for owner in owners {
                XCTAssertEqual(owner.state, .protected)
                XCTAssertEqual(agents(of: owner, expected: 1).count, 1, "one agent per session")
            }
            try await withThrowingTaskGroup(of: Void.self) { group in
                for owner in owners { group.addTask { try await owner.end() } }
                try await group.waitForAll()
            }
            XCTAssertEqual(try dock, usersDock)
            for owner in owners { XCTAssertEqual(agents(of: owner, expected: 0), []) }
        }
    }
}
#endif
