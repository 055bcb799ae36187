import DockRestore
import Foundation
import XCTest

// Calls refused before anything is touched: no agent runs, no preference is written.
final class DockRestoreTests: XCTestCase {
    private var folder: URL!

    override func setUpWithError() throws {
        folder = FileManager.default.temporaryDirectory.appendingPathComponent("dock-restore-\(UUID().uuidString)")
        try FileManager.default.createDirectory(at: folder, withIntermediateDirectories: false)
    }

    override func tearDownWithError() throws {
        try FileManager.default.removeItem(at: folder)
    }

    private func owner() throws(DockRestoreError) -> DockRestoreOwner {
        try DockRestoreOwner(snapshot: folder.appendingPathComponent("snapshot.plist"),
                             domain: "org.dock-restore-agent.swift-test",
                             agent: URL(fileURLWithPath: "/nonexistent/dock-restore-agent"))
    }

    func testRefusedCallsThrowTheStatusAndTheMessage() throws {
        // Every one of the six settings is one the library takes: only the agent is missing.
        let everything = DockSettings(autohide: true, autohideDelay: 0.5, autohideTimeModifier: 0,
                                      orientation: .left, noBouncing: true, launchAnimation: false)
        let web = try XCTUnwrap(URL(string: "https://example.com/snap.plist"))
        let cases: [(String, DockRestoreError.Code, (DockRestoreOwner) throws -> Void)] = [
            ("renew without a session", .noSession, { try $0.renewBlocking() }),
            ("end without a session", .noSession, { try $0.endBlocking() }),
            ("every setting, no agent", .agentUnavailable, { try $0.beginBlocking(everything) }),
            // Every call, blocking or async, goes through one check of the handle; closing again does nothing.
            ("a call after close", .closed, { $0.close(); $0.close(); try $0.recoverBlocking() }),
            ("a snapshot not a file", .invalidArgument, { _ = try DockRestoreOwner(snapshot: web, domain: "d", agent: $0.agent) }),
            ("an agent not a file", .invalidArgument, { _ = try DockRestoreOwner(snapshot: $0.snapshot, domain: "d", agent: web) }),
            ("a bundle not a file", .invalidArgument, { _ = try DockRestoreOwner(applicationBundle: web, domain: $0.domain) }),
        ]
        for (name, code, call) in cases {
            let dock = try owner()
            XCTAssertThrowsError(try call(dock), name) { error in
                XCTAssertEqual((error as? DockRestoreError)?.code, code, "\(name): \(error)")
                XCTAssertFalse((error as? DockRestoreError)?.message.isEmpty ?? true, name)
            }
            XCTAssertEqual(dock.state, .inactive, name)
        }
        XCTAssertEqual(try FileManager.default.contentsOfDirectory(atPath: folder.path), [])
    }

    func testTheBundleInitializerFindsTheAgentFolderAndDomain() async throws {
        let (info, helpers, macOS) = ("Contents/Info.plist", "Contents/Helpers/dock-restore-agent",
                                      "Contents/MacOS/dock-restore-agent")
        // The bundle's files and the domain given; the agent and domain found, or the code thrown.
        let cases: [([String], String?, String?, String?, DockRestoreError.Code?)] = [
            ([info, helpers], nil, helpers, "org.example.fake", nil),
            ([info, macOS], nil, macOS, "org.example.fake", nil),
            ([info, macOS, helpers], nil, helpers, "org.example.fake", nil),
            ([helpers], "org.example.given", helpers, "org.example.given", nil),
            ([info], nil, nil, nil, .agentUnavailable),
            ([helpers], nil, nil, nil, .invalidArgument),
        ]
        for (index, (files, domain, agent, foundDomain, code)) in cases.enumerated() {
            let bundle = folder.appendingPathComponent("\(index)/Fake.app")
            let support = folder.appendingPathComponent("\(index)/Support/app")
            for file in files.map({ bundle.appendingPathComponent($0) }) {
                try FileManager.default.createDirectory(at: file.deletingLastPathComponent(),
                                                        withIntermediateDirectories: true)
                try PropertyListEncoder().encode(["CFBundleIdentifier": "org.example.fake"]).write(to: file)
                try FileManager.default.setAttributes([.posixPermissions: 0o755], ofItemAtPath: file.path)
            }
            var dock: DockRestoreOwner?
            let thrown = await thrownCode {
                dock = try DockRestoreOwner(applicationBundle: bundle, snapshotFolder: support, domain: domain)
            }
            XCTAssertEqual(thrown, code, "case \(index)")
            XCTAssertEqual(dock?.agent.path, agent.map { bundle.appendingPathComponent($0).path }, "case \(index)")
            XCTAssertEqual(dock?.domain, foundDomain, "case \(index)")
            XCTAssertEqual(dock?.snapshot, dock.map { _ in support.appendingPathComponent("dock-snapshot.plist") })
            let mode = try? FileManager.default.attributesOfItem(atPath: support.path)[.posixPermissions] as? Int
            XCTAssertEqual(mode, dock.map { _ in 0o700 }, "case \(index): the folder, only when set up")
        }
    }

    func testAStatusOfANewerLibraryKeepsItsNumber() {
        let error = DockRestoreError(code: .init(rawValue: 42), message: "the Dock is on fire")
        XCTAssertNotEqual(error.code, .systemError)
        XCTAssertEqual(error.localizedDescription, "the Dock is on fire")
        XCTAssertEqual(error.description, "the Dock is on fire (status 42)")
    }
}

/// The code of the DockRestoreError that `call` throws; nil when it throws none.
func thrownCode(_ call: () async throws -> Void) async -> DockRestoreError.Code? {
    do {
        try await call()
        return nil
    } catch {
        return (error as? DockRestoreError)?.code ?? .systemError
    }
}
