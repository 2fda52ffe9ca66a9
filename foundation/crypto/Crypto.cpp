#include "foundation/crypto/Crypto.h"

#include "foundation/system/SingletonFactory.h"
#include "foundation/tls/InitSSL.h"

namespace zelvo {
namespace crypto {

namespace {
constexpr int drainStep = 1024;
}

Crypto::Crypto() : verbose(false)
{
    utils::SingletonFactory<InitCrypto, utils::DestroyAtExit>::getInstance();
}

Crypto::~Crypto() = default;

Password::~Password() = default;

Password::Arguments Password::argumentsFor(Password* pw)
{
    Arguments args{nullptr, nullptr, nullptr, 0};
    if (!pw)
        return args;
    switch (pw->method) {
    case FromText:
        args.userData = const_cast<char*>(pw->password.c_str());
        args.phrase = reinterpret_cast<unsigned char*>(const_cast<char*>(pw->password.c_str()));
        args.phraseLength = static_cast<int>(pw->password.size());
        break;
    case FromCallback:
        args.callback = pw->callback;
        break;
    default:
        break;
    }
    return args;
}

WritableEntity::~WritableEntity() = default;

std::string drainMemoryBio(BIO* bio)
{
    std::string text;
    char chunk[drainStep];
    for (;;) {
        int n = BIO_read(bio, chunk, sizeof chunk);
        if (n <= 0)
            break;
        text.append(chunk, static_cast<std::size_t>(n));
    }
    return text;
}

}  // namespace crypto
}  // namespace zelvo
