/* vtl: send a mail through an SMTP server, and open a document with the
 * desktop's default handler.
 *
 * The whole interface of the library. Usable from C and C++. Every function
 * takes zero-terminated byte strings in the system's ANSI code page (and a
 * window handle), or on Windows in the W forms UTF-16 strings, and returns
 * a signed 32-bit integer; nothing else crosses this boundary. */
#ifndef VTL_H
#define VTL_H

#include <stdint.h>

#if defined(_WIN32)
#define VTL_CALL __stdcall
#if defined(VTL_BUILDING)
#define VTL_API /* exported by name through the library's .def file */
#else
#define VTL_API __declspec(dllimport)
#endif
#else
#define VTL_CALL
#if defined(VTL_BUILDING)
#define VTL_API __attribute__((visibility("default")))
#else
#define VTL_API
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes of VTLSendMail and VTLSendMailEx (SendResult):
 *   0  delivered: the server accepted the message
 *   1  the sockets layer could not be started (Windows only)
 *   2  the server name could not be resolved
 *   3  no socket could be created
 *   4  no address of the server accepted the connection (or none in time)
 *   5  nothing was sent: an argument is null or empty, the server or an
 *      address holds CR or LF, the server is not a host name, address or
 *      well-formed URL, an address is a list or holds a display name, or an
 *      address is longer than 254 octets; for VTLSendMailEx, where only
 *      server and from must be given: from is not one mailbox, an address
 *      list or a header line is not well formed, a header line names a
 *      header vtl writes itself, the lists name no recipient or more than
 *      100, or a file to attach cannot be opened
 *   6  memory for the send could not be obtained
 *   7  the server refused (for VTLSendMailEx: any one recipient, or a
 *      message larger than it takes), broke off or did not answer in time,
 *      or a file to attach changed while it was sent
 * and, for a server given as an smtps:// or smtp:// URL only:
 *   8  TLS could not be set up: no STARTTLS offered or it was refused, the
 *      handshake failed, or the server does not speak TLS 1.2 or later
 *   9  the server's certificate is not trusted, or not issued for the host
 *      the URL names
 *  10  the login was refused, or no mechanism suits both sides
 * and from VTLSignIn only:
 *  11  the sign-in was not finished: no browser could be opened, or the
 *      user did not finish within 5 minutes
 * The server argument is a host name or address (plain SMTP on the "mail"
 * port, or 25; host:port or [IPv6]:port for another port),
 * or smtps://[user[:password][;AUTH=mech]@]host[:port] (TLS from the start,
 * port 465), or smtp://... alike (STARTTLS required, port 587).
 * With ;AUTH=XOAUTH2, a user and no token
 * (smtp://yamada@contoso.com;AUTH=XOAUTH2@smtp.office365.com), the send
 * logs in with the access token of the grant VTLSignIn kept for that user,
 * renewed first when it runs out; with none kept it gives 10. */
#define VTL_SEND_OK 0
#define VTL_SEND_STARTUP_FAILED 1
#define VTL_SEND_RESOLVE_FAILED 2
#define VTL_SEND_SOCKET_FAILED 3
#define VTL_SEND_CONNECT_FAILED 4
#define VTL_SEND_BAD_ARGUMENT 5
#define VTL_SEND_NO_MEMORY 6
#define VTL_SEND_DIALOGUE_FAILED 7
#define VTL_SEND_TLS_FAILED 8
#define VTL_SEND_CERTIFICATE_REJECTED 9
#define VTL_SEND_AUTH_FAILED 10
#define VTL_SIGN_IN_NOT_FINISHED 11

typedef int32_t SendResult;

/* Sends one mail and blocks until the dialogue is over. None of the strings
 * is written to. Display names and subject may hold any bytes; CR and LF in
 * them become spaces. In a Japanese user locale the Shift_JIS texts are sent
 * as ISO-2022-JP. */
VTL_API SendResult VTL_CALL VTLSendMail(const char* server, const char* fromAddress,
                                        const char* fromName, const char* toAddress,
                                        const char* toName, const char* subject, const char* body);

/* Sends one message to several recipients, with Cc, Bcc, header lines of
 * the caller's own and files attached, and blocks until the dialogue is
 * over. None of the strings is written to; all are in the system's code
 * page, as for VTLSendMail.
 * from: one mailbox, "yamada@example.jp" or "Name <yamada@example.jp>".
 * to, cc, bcc: address lists, mailboxes separated by commas (or
 *   semicolons); each may be null or empty. Together at least one and at
 *   most 100 recipients. Bcc addresses appear in no header.
 * subject, body: may be null or empty.
 * attachments: null, or file paths one per line; each is opened and sized
 *   before anything is sent.
 * headers: null, or "Name: value" lines one per line (Reply-To,
 *   Importance, ...); a header vtl writes itself is refused.
 * If the server refuses any recipient, no one gets the message (7), and
 * VTLLastError names every refused address. */
VTL_API SendResult VTL_CALL VTLSendMailEx(const char* server, const char* from, const char* to,
                                          const char* cc, const char* bcc, const char* subject,
                                          const char* body, const char* attachments,
                                          const char* headers);

/* Signs account in with an OAuth 2 provider and keeps the grant, so that
 * later sends log in as account with XOAUTH2 and no password (above).
 * Opens the provider's sign-in page in the desktop's browser, takes the
 * answer on a loopback port (RFC 8252, with PKCE) and blocks until the
 * user is done, 5 minutes at most; a host with a window calls it from a
 * worker thread. The grant is kept for the current user only (Linux:
 * $XDG_STATE_HOME/vtl/grants, mode 0600; Windows: %LOCALAPPDATA%\vtl\grants,
 * encrypted with DPAPI).
 * provider: "microsoft" (work, school and personal accounts),
 *   "microsoft:organizations", "microsoft:consumers", "microsoft:TENANT"
 *   (a tenant id or domain, for an application of one tenant), "google",
 *   or for another provider "AUTHORIZE-URL TOKEN-URL SCOPE..." (https).
 * clientId: the application (client) id the vendor registered.
 * clientSecret: null or empty for a public client (Microsoft); Google's
 *   desktop client secret.
 * account: the mailbox, as the send's URL names it; the provider must
 *   sign in that account, or the result is 10.
 * Returns 0 signed in and kept; 5 a bad argument; 2, 4, 7, 8 or 9 the
 * provider could not be reached or not trusted; 10 the provider or the
 * user refused, or another account signed in; 11 not finished.
 * VTLLastError says why; it never holds a code, a token or the secret. */
VTL_API int32_t VTL_CALL VTLSignIn(const char* provider, const char* clientId,
                                   const char* clientSecret, const char* account);

/* Forgets the grant kept for account. Returns 0, also when none was kept;
 * 5 a bad argument; 10 when the kept grant could not be removed. */
VTL_API int32_t VTL_CALL VTLSignOut(const char* account);

#if defined(_WIN32)
#include <stddef.h> /* wchar_t in C */
/* The same calls taking zero-terminated UTF-16 strings (VBA's StrPtr, a
 * Delphi string, a Windows wchar_t string), Windows only: no character is
 * lost to the system's code page. They behave as the byte-string calls do
 * on a system whose code page is UTF-8 (65001); Japanese mode still
 * follows the user's locale. VTLInternetW opens a path outside the code
 * page too. */
VTL_API SendResult VTL_CALL VTLSendMailW(const wchar_t* server, const wchar_t* fromAddress,
                                         const wchar_t* fromName, const wchar_t* toAddress,
                                         const wchar_t* toName, const wchar_t* subject,
                                         const wchar_t* body);
VTL_API SendResult VTL_CALL VTLSendMailExW(const wchar_t* server, const wchar_t* from,
                                           const wchar_t* to, const wchar_t* cc, const wchar_t* bcc,
                                           const wchar_t* subject, const wchar_t* body,
                                           const wchar_t* attachments, const wchar_t* headers);
VTL_API int32_t VTL_CALL VTLInternetW(void* window, const wchar_t* target);
#endif

/* Opens target (a web address, a document or a program) with the handler
 * the user's desktop associates with it, as if the user had opened it.
 * window is the host window that owns anything the desktop may show (an
 * HWND on Windows); it may be null. Returns 1 when the desktop took the
 * request and 0 otherwise, including for a null or empty target. On
 * Windows this is ShellExecute's "open"; on Linux, xdg-open, which is
 * waited for up to 10 s (the call then returns 1: the handler is running). */
VTL_API int32_t VTL_CALL VTLInternet(void* window, const char* target);

/* The detail of the last send, sign-in or VTLInternet call (W forms
 * included) made on the calling thread (calls on other threads change
 * nothing; empty before any call): one line of printable ASCII, at most 1024 bytes, that
 * says what failed and why ("mail.example.com:587: RCPT TO:<b@example.com>:
 * 550 5.1.1 no such user"), and for well-known refusals what to do; for a
 * delivered mail the server's reply ("250 2.0.0 Ok: queued as 4F2A1C"). It never
 * holds a password or token.
 * Returns the detail's length in bytes, without the terminating zero. With
 * a buffer and size > 0 it writes at most size - 1 bytes and a zero; with a
 * null buffer or size <= 0 it writes nothing, so VTLLastError(NULL, 0)
 * gives the size to allocate (plus one). It never fails and never blocks. */
VTL_API int32_t VTL_CALL VTLLastError(char* buffer, int32_t size);

#ifdef __cplusplus
}
#endif

#endif /* VTL_H */
