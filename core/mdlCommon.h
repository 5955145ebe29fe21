#pragma once
#include "core/Server.h"

#include <QString>
#include <functional>

class TextDatabase;

// Values every part of the server shares, filled at start-up from the settings.
namespace mdlCommon {

// The three settings the administration window edits while the server runs; the others are
// read once into the Settings value the server hands on (core/Settings.h).
inline QString ServerDomain = QStringLiteral("localhost");
inline QString Pop3Port = QStringLiteral("110");
inline QString SmtpPort = QStringLiteral("25");

// The folder that holds the executable: tables, lookup script and mail store live here.
QString ProgramFolder();
void SetProgramFolder(const QString& folder);   // tests point it at a fresh folder

// Program folder + "/Users": the mail store.
QString UsersFolder();

// The one connection to the text tables, created at its first use.
TextDatabase& DbConnection();

// This machine's fully qualified name, as `hostname --fqdn` gives it; the short name when
// it has none.
QString MachineName();

// A port setting as a number, or -1 when the text is not a port number.
int PortNumber(const QString& text);

// A line for the log from code that has no connection at hand (table warnings,
// account lookups that failed). The connection manager routes it to the log.
void Report(const QString& line);
void SetReporter(void (*reporter)(const QString&));

// Company and settings names.
inline constexpr const char* CompanyName = "Merivolant";

// Reads the settings, shows the first window and opens the tables. The executable
// gives the protocol services, the way to show the administration window, what runs before
// any connection is served (the mail store is put right), and what runs once the server is
// ready to serve (the relay queue starts). Returns 0, or the exit status when start-up failed.
int Main(const Handlers& handlers, const std::function<void()>& showAdmin, const std::function<void(Server&)>& preparing = {},
         const std::function<void(Server&)>& serving = {});

}
