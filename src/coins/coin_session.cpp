#include "coins/coin_session.h"

#include <atomic>

namespace {
std::atomic<CoinSession*> g_session{nullptr};
thread_local int t_export_depth = 0;
}  // namespace

void coin_session_install(CoinSession* session) { g_session.store(session, std::memory_order_release); }

CoinSession* coin_session_installed() { return g_session.load(std::memory_order_acquire); }

PlaintextExportScope::PlaintextExportScope() { ++t_export_depth; }
PlaintextExportScope::~PlaintextExportScope() { --t_export_depth; }

bool plaintext_export_scope_active() { return t_export_depth > 0; }
