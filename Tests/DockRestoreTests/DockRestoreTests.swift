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

    private func owner() throws -> DockRestoreOwner {
        try DockRestoreOwner(snapshot: folder.appendingPathComponent("snapshot.plist"),
                             domain: "org.dock-restore-agent.swift-test",
                             agent: URL(fileURLWithPath: "/nonexistent/dock-restore-agent"))
    }

    private func assertThrows(_ code: DockRestoreError.Code, _ name: String, _ call: () throws -> Void,
                              file: StaticString = #filePath, line: UInt = #line) {
        XCTAssertThrowsError(try call(), name, file: file, line: line) { error in
            let failure = error as? DockRestoreError
            XCTAssertEqual(failure?.code, code, "\(name): \(error)", file: file, line: line)
            XCTAssertFalse(failure?.message.isEmpty ?? true, name, file: file, line: line)
        }
    }

    func testRefusedCallsThrowTheStatusAndTheMessage() throws {
        // Every one of the six settings is one the library takes: only the agent is missing.
        let everything = DockSettings(autohide: true, autohideDelay: 0.5, autohideTimeModifier: 0,
                                      orientation: .left, noBouncing: true, launchAnimation: false)
        let cases: [(String, DockRestoreError.Code, (DockRestoreOwner) throws -> Void)] = [
            ("end without a session", .noSession, { try $0.end() }),
            ("every setting, no agent", .agentUnavailable, { try $0.begin(everything) }),
            ("the hidden Dock, no agent", .agentUnavailable, { try $0.begin() }),
            ("a negative delay", .invalidArgument, { try $0.begin(DockSettings(autohideDelay: -1)) }),
            ("a delay that is not a number", .invalidArgument, { try $0.begin(DockSettings(autohideDelay: .nan)) }),
        ]
        for (name, code, call) in cases {
            let dock = try owner()
            assertThrows(code, name) { try call(dock) }
            XCTAssertEqual(dock.state, .none, name)
        }
        XCTAssertEqual(try FileManager.default.contentsOfDirectory(atPath: folder.path), [])
    }

    func testAStatusOfANewerLibraryKeepsItsNumber() {
        let error = DockRestoreError(code: .init(rawValue: 42), message: "the Dock is on fire")
        XCTAssertNotEqual(error.code, .systemError)
        XCTAssertEqual(error.localizedDescription, "the Dock is on fire")
        XCTAssertEqual(error.description, "the Dock is on fire (status 42)")
    }
}
