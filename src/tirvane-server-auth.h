// The authorisation gate in front of our own interface's handlers.
#pragma once

#include <gio/gio.h>

// Connected to a handler signal before the handler, it
// runs first and answers a refused call itself.
void tvp_connect_method_gate(gpointer skeleton, const char *handler_signal);
// Whether the gate has a rule for the method; a method without one is refused.
bool tvp_method_has_rule(const char *method);
// Whether the method's rule lets every caller through without asking anyone.
bool tvp_method_open_to_all(const char *method);
// Whether the gate would let a call of `method` from the bus name `sender`
// through at once, asking no one: a method open to all, or a sender already
// known to be root. Argument sizes are not looked at. Callable from any thread.
bool tvp_call_passes_gate_at_once(const char *method, const char *sender);
// The polkit action a caller other than root needs for the method, for its own
// user id or (`other_user`) for another's; null when polkit is never asked or
// the method has no rule.
const char *tvp_method_polkit_action(const char *method, bool other_user);
// Answers a call with the AccessDenied error; `fmt` holds one %s, the method.
void tvp_deny_call(GDBusMethodInvocation *invocation, const char *fmt, const char *method);
