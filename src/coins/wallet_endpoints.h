// The ten wallet endpoints under /api/wallets/: balance, list, show-coins, create, transactions,
// receipts, rename, delete, coin-details and register. Each handler reads and checks its
// parameters, calls one wallet operation and writes the reply; refusals are JSON error replies
// that change nothing. Handlers run on the HTTP thread, so they never wait for a wallet lock:
// an operation that finds the wallet busy answers 409 "Wallet is busy".
#pragma once
#include "http/http_types.h"

// Binds the ten handlers in the route table (called by start-up before the routes are registered).
void wallet_endpoints_provide();

void wallet_balance_handler(const HttpRequest& req, HttpResponse& resp, void* context);
void wallet_list_handler(const HttpRequest& req, HttpResponse& resp, void* context);
void wallet_show_coins_handler(const HttpRequest& req, HttpResponse& resp, void* context);
void wallet_create_handler(const HttpRequest& req, HttpResponse& resp, void* context);
void wallet_transactions_handler(const HttpRequest& req, HttpResponse& resp, void* context);
void wallet_receipts_handler(const HttpRequest& req, HttpResponse& resp, void* context);
void wallet_rename_handler(const HttpRequest& req, HttpResponse& resp, void* context);
void wallet_delete_handler(const HttpRequest& req, HttpResponse& resp, void* context);
void wallet_coin_details_handler(const HttpRequest& req, HttpResponse& resp, void* context);
void wallet_register_handler(const HttpRequest& req, HttpResponse& resp, void* context);
