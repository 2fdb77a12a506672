#include "crypto/Engine.h"

namespace zephra::crypto {

struct Engine::State {};

Engine::Engine(std::filesystem::path workDir) : m_workDir(std::move(workDir)) {}
Engine::~Engine() = default;

Status Engine::validateKey(std::string_view) { return Status::failure(ErrorKind::InvalidKey, "not built yet"); }
Status Engine::createKeyspace(std::string_view) { return Status::failure(ErrorKind::Io, "not built yet"); }
bool Engine::hasKeyspace() const { return false; }
Status Engine::encryptFile(const std::filesystem::path&, const std::filesystem::path&, const Progress&)
{
    return Status::failure(ErrorKind::NoKeyspace, "not built yet");
}
Status Engine::decryptFile(const std::filesystem::path&, const std::filesystem::path&, const Progress&)
{
    return Status::failure(ErrorKind::NoKeyspace, "not built yet");
}
Status Engine::loadCipher(std::unique_ptr<Cipher>&) const { return Status::failure(ErrorKind::NoKeyspace, "not built yet"); }
Status Engine::cleanUp() { return Status::success(); }

}  // namespace zephra::crypto
