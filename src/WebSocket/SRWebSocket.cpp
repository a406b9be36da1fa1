#include "varenstt/SRWebSocket.h"

#include <cassert>

#include "Platform/Threads/DispatchQueueAccess.h"
#include "WebSocket/SRRunLoopThread.h"
#include "WebSocket/SRWebSocketImpl.h"

namespace varen {

const char* const SRWebSocketErrorDomain = "SRWebSocketErrorDomain";
const char* const SRHTTPResponseErrorKey = "HTTPResponseStatusCode";
const char* const SRWebSocketTimeoutErrorDomain = "com.varen.stt.websocket.timeout";
const char* const SRWebSocketPinningErrorDomain = "com.varen.stt.websocket.pinning";
const char* const SRDefaultRunLoopMode = "kCFRunLoopDefaultMode";

SRWebSocket::SRWebSocket(std::shared_ptr<SRURLRequest> request,
                         std::optional<std::vector<std::string>> protocols,
                         bool allowsUntrustedSSLCertificates)
    : impl_(std::make_unique<Impl>(*this, std::move(request), std::move(protocols),
                                   allowsUntrustedSSLCertificates)) {}

SRWebSocket::~SRWebSocket() = default;

std::shared_ptr<SRWebSocket> SRWebSocket::initWithURLRequestProtocolsAllowsUntrustedSSLCertificates(
    std::shared_ptr<SRURLRequest> request, std::optional<std::vector<std::string>> protocols,
    bool allowsUntrustedSSLCertificates) {
    assert(request && request->url() && "request must have a URL");
    std::shared_ptr<SRWebSocket> socket(
        new SRWebSocket(std::move(request), std::move(protocols), allowsUntrustedSSLCertificates));
    // The streams' delegate holds the socket weakly, which needs the shared owner first.
    socket->impl_->_initializeStreams();
    return socket;
}

std::shared_ptr<SRWebSocket> SRWebSocket::initWithURLRequestProtocols(
    std::shared_ptr<SRURLRequest> request, std::optional<std::vector<std::string>> protocols) {
    return initWithURLRequestProtocolsAllowsUntrustedSSLCertificates(std::move(request),
                                                                     std::move(protocols), false);
}

std::shared_ptr<SRWebSocket> SRWebSocket::initWithURLRequest(
    std::shared_ptr<SRURLRequest> request) {
    return initWithURLRequestProtocols(std::move(request), std::nullopt);
}

std::shared_ptr<SRWebSocket> SRWebSocket::initWithURL(const URL& url) {
    return initWithURLProtocols(url, std::nullopt);
}

std::shared_ptr<SRWebSocket> SRWebSocket::initWithURLProtocols(
    const URL& url, std::optional<std::vector<std::string>> protocols) {
    return initWithURLProtocolsAllowsUntrustedSSLCertificates(url, std::move(protocols), false);
}

std::shared_ptr<SRWebSocket> SRWebSocket::initWithURLProtocolsAllowsUntrustedSSLCertificates(
    const URL& url, std::optional<std::vector<std::string>> protocols,
    bool allowsUntrustedSSLCertificates) {
    return initWithURLRequestProtocolsAllowsUntrustedSSLCertificates(
        std::make_shared<SRURLRequest>(url), std::move(protocols), allowsUntrustedSSLCertificates);
}

void SRWebSocket::setDelegate(std::weak_ptr<SRWebSocketDelegate> delegate) {
    std::lock_guard lock(impl_->propertyMutex);
    impl_->delegate = std::move(delegate);
}

std::shared_ptr<SRWebSocketDelegate> SRWebSocket::delegate() const {
    return impl_->currentDelegate();
}

void SRWebSocket::open() {
    impl_->open();
}
void SRWebSocket::close() {
    closeWithCodeReason(SRStatusCodeNormal, std::nullopt);
}
void SRWebSocket::closeWithCodeReason(std::int64_t code, std::optional<std::string> reason) {
    impl_->closeWithCodeReason(code, std::move(reason));
}
void SRWebSocket::send(std::string text) {
    impl_->send(SRMessage(std::move(text)));
}
void SRWebSocket::send(Data data) {
    impl_->send(SRMessage(std::move(data)));
}
void SRWebSocket::send(std::optional<SRMessage> message) {
    impl_->send(std::move(message));
}
void SRWebSocket::sendPing(std::optional<Data> data) {
    impl_->sendPing(data ? std::move(*data) : Data{});
}

SRReadyState SRWebSocket::readyState() const {
    return static_cast<SRReadyState>(impl_->readyState.load());
}
const URL& SRWebSocket::url() const {
    return impl_->url;
}
std::optional<std::string> SRWebSocket::protocol() const {
    std::lock_guard lock(impl_->propertyMutex);
    return impl_->protocol;
}

void SRWebSocket::setDelegateDispatchQueue(std::shared_ptr<platform::DispatchQueue> queue) {
    std::lock_guard lock(impl_->propertyMutex);
    impl_->delegateDispatchQueue = std::move(queue);
}
std::shared_ptr<platform::DispatchQueue> SRWebSocket::delegateDispatchQueue() const {
    std::lock_guard lock(impl_->propertyMutex);
    return impl_->delegateDispatchQueue;
}
void SRWebSocket::setDelegateOperationQueue(std::shared_ptr<platform::OperationQueue> queue) {
    std::lock_guard lock(impl_->propertyMutex);
    impl_->delegateOperationQueue = std::move(queue);
}
std::shared_ptr<platform::OperationQueue> SRWebSocket::delegateOperationQueue() const {
    std::lock_guard lock(impl_->propertyMutex);
    return impl_->delegateOperationQueue;
}

void SRWebSocket::scheduleInRunLoopForMode(std::shared_ptr<platform::RunLoop> runLoop,
                                           std::string mode) {
    impl_->scheduleInRunLoopForMode(std::move(runLoop), mode);
}
void SRWebSocket::unscheduleFromRunLoopForMode(std::shared_ptr<platform::RunLoop> runLoop,
                                               std::string mode) {
    impl_->unscheduleFromRunLoopForMode(runLoop, mode);
}

std::vector<SRHTTPCookie> SRWebSocket::requestCookies() const {
    std::lock_guard lock(impl_->propertyMutex);
    return impl_->requestCookies;
}
void SRWebSocket::setRequestCookies(std::vector<SRHTTPCookie> cookies) {
    std::lock_guard lock(impl_->propertyMutex);
    impl_->requestCookies = std::move(cookies);
}
bool SRWebSocket::allowsUntrustedSSLCertificates() const {
    return impl_->allowsUntrustedSSLCertificates.load();
}
void SRWebSocket::setAllowsUntrustedSSLCertificates(bool allows) {
    impl_->allowsUntrustedSSLCertificates.store(allows);
}
std::optional<SRHTTPResponse> SRWebSocket::receivedHTTPHeaders() const {
    std::lock_guard lock(impl_->propertyMutex);
    return impl_->receivedHTTPHeaders;
}
std::chrono::milliseconds SRWebSocket::closingHandshakeTimeout() const {
    return std::chrono::milliseconds(impl_->closingHandshakeTimeoutMs.load());
}
void SRWebSocket::setClosingHandshakeTimeout(std::chrono::milliseconds timeout) {
    impl_->closingHandshakeTimeoutMs.store(timeout.count());
}
std::uint64_t SRWebSocket::maximumMessageSize() const {
    return impl_->maximumMessageSize.load();
}
void SRWebSocket::setMaximumMessageSize(std::uint64_t bytes) {
    impl_->maximumMessageSize.store(bytes);
}
std::chrono::milliseconds SRWebSocket::pingInterval() const {
    return std::chrono::milliseconds(impl_->pingIntervalMs.load());
}
void SRWebSocket::setPingInterval(std::chrono::milliseconds interval) {
    impl_->pingIntervalMs.store(std::max<std::int64_t>(0, interval.count()));
}
std::optional<URL> SRWebSocket::proxyURL() const {
    std::lock_guard lock(impl_->propertyMutex);
    return impl_->proxyURL;
}
void SRWebSocket::setProxyURL(std::optional<URL> proxy) {
    std::lock_guard lock(impl_->propertyMutex);
    impl_->proxyURL = std::move(proxy);
}

// ---------------------------------------------------------------------------------------------

SRWebSocket::Impl::Impl(SRWebSocket& owner_, std::shared_ptr<SRURLRequest> request,
                        std::optional<std::vector<std::string>> protocols, bool allowsUntrusted)
    : owner(owner_),
      urlRequest(std::move(request)),
      url(*urlRequest->url()),
      requestedProtocols(std::move(protocols)) {
    allowsUntrustedSSLCertificates.store(allowsUntrusted);
    // Common initialisation.
    std::string scheme = url.scheme();
    for (auto& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    assert((scheme == "ws" || scheme == "http" || scheme == "wss" || scheme == "https") &&
           "unsupported URL scheme");
    secure = scheme == "wss" || scheme == "https";
    // On the network thread: frames are written and handed to the socket on the thread that
    // sends them, and read ones are parsed where they arrive, with no thread to cross.
    workQueue = platform::DispatchQueueAccess::createOn(SR_networkRunLoop());
    workQueue->setSpecific(this, workQueue.get());
    delegateDispatchQueue = platform::DispatchQueue::main();
}

SRWebSocket::Impl::~Impl() {
    for (const std::shared_ptr<platform::Stream>& stream :
         {std::static_pointer_cast<platform::Stream>(inputStream),
          std::static_pointer_cast<platform::Stream>(outputStream)}) {
        if (!stream) continue;
        stream->setDelegate({});
        stream->close();
    }
}

std::shared_ptr<SRWebSocketDelegate> SRWebSocket::Impl::currentDelegate() const {
    std::lock_guard lock(propertyMutex);
    return delegate.lock();
}

void SRWebSocket::Impl::setReadyState(SRReadyState state) {
    assert(state > readyState.load() && "ready state must only increase");
    readyState.store(state);
}

void SRWebSocket::Impl::_performDelegateBlock(
    std::function<void(SRWebSocket&, SRWebSocketDelegate&)> block) {
    _performDelegateBlockUnconditionally([block = std::move(block)](SRWebSocket& socket) {
        if (auto target = socket.delegate()) block(socket, *target);
    });
}

std::shared_ptr<platform::DispatchQueue> SRWebSocket::Impl::delegateQueue() const {
    std::lock_guard lock(propertyMutex);
    return delegateDispatchQueue ? delegateDispatchQueue : platform::DispatchQueue::main();
}

void SRWebSocket::Impl::_performDelegateBlockUnconditionally(
    std::function<void(SRWebSocket&)> block) {
    std::shared_ptr<platform::OperationQueue> operationQueue;
    std::shared_ptr<platform::DispatchQueue> dispatchQueue;
    {
        std::lock_guard lock(propertyMutex);
        operationQueue = delegateOperationQueue;
        dispatchQueue = delegateDispatchQueue;
    }
    // The pending call keeps the socket alive until it has run.
    auto task = [socket = strongOwner(), block = std::move(block)] { block(*socket); };
    if (operationQueue) {
        operationQueue->addOperationWithBlock(std::move(task));
    } else {
        assert(dispatchQueue && "a delegate queue must be set");
        if (dispatchQueue) dispatchQueue->async(std::move(task));
    }
}

void SRWebSocket::Impl::_deliverIncoming(std::size_t bytes,
                                         std::function<void(SRWebSocket&)> block) {
    undeliveredItems.fetch_add(1);
    undeliveredBytes.fetch_add(bytes);
    _performDelegateBlockUnconditionally([bytes, block = std::move(block)](SRWebSocket& socket) {
        block(socket);
        auto& impl = *socket.impl_;
        impl.undeliveredItems.fetch_sub(1);
        impl.undeliveredBytes.fetch_sub(bytes);
        if (!impl.deliveryBacklogFull() && impl.readingPausedForDelivery.exchange(false)) {
            impl.workQueue->async([held = socket.shared_from_this()] {
                held->impl_->_pumpScanner();
                held->impl_->readAvailableBytes();
            });
        }
    });
}

bool SRWebSocket::Impl::pauseForDelivery() {
    assertOnWorkQueue();
    if (!deliveryBacklogFull()) return false;
    readingPausedForDelivery.store(true);
    // The delegate may have caught up between the check and the flag; then go on at once.
    return deliveryBacklogFull() || !readingPausedForDelivery.exchange(false);
}

}  // namespace varen
