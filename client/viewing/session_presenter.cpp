#include "client/viewing/session_presenter.h"

#include "client/command_line/client_options.h"
#include "client/viewing/browser_presenter.h"
#include "client/viewing/ticket_printer.h"
#include "client/viewing/viewer_process.h"

std::unique_ptr<SessionPresenter> SessionPresenter::forOptions(const ClientOptions &options)
{
    if (options.noViewer()) {
        return std::make_unique<TicketPrinter>();
    }
    if (options.browser()) {
        return std::make_unique<BrowserPresenter>();
    }
    return std::make_unique<ViewerProcess>(options.viewerCommand());
}

void SessionPresenter::markEnded()
{
    if (!wasEnded) {
        wasEnded = true;
        emit ended();
    }
}
