#include "download/result.h"

#include <cstdint>
#include <string>

namespace tarn {

DownloadHead JudgeDownloadHead(uint32_t status, int64_t rangeFirst, uint64_t offset) {
  switch (status) {
    case 416:
      return DownloadHead::NothingAfterOffset;
    case 200:
      return DownloadHead::Body;
    case 206:
      // A server that continues elsewhere than asked would splice foreign
      // bytes into the file; the ".part" file cannot be trusted after that.
      return rangeFirst >= 0 && static_cast<uint64_t>(rangeFirst) == offset ? DownloadHead::Body
                                                                              : DownloadHead::WrongRange;
    default:
      return DownloadHead::Refused;
  }
}

std::string DownloadResultText(DownloadResult code) {
  switch (code) {
    case DownloadResult::Ok:
      return "Готово";
    case DownloadResult::Paused:
      return "Загрузка приостановлена. Скачанное сохранено — продолжим с того же места.";
    case DownloadResult::Stopped:
      return "Загрузка остановлена. Скачанное сохранено — продолжим с того же места.";
    case DownloadResult::NetworkError:
      return "Оборвалась связь с сервером. Проверьте подключение к интернету и нажмите «Продолжить» — загрузка "
             "пойдёт с того места, где остановилась.";
    case DownloadResult::ServerRefused:
      return "Сервер обновлений ответил отказом. Обычно это значит, что идут работы — попробуйте через несколько "
             "минут.";
    case DownloadResult::WriteError:
      return "Не удалось записать файл на диск. Проверьте, что папка игры доступна для записи и не защищена "
             "антивирусом.";
    case DownloadResult::DiskFull:
      return "На диске закончилось место. Освободите его и нажмите «Продолжить».";
    case DownloadResult::Corrupt:
      return "Скачанный файл повреждён — контрольная сумма не сошлась. Нажмите «Продолжить», файл будет скачан "
             "заново.";
  }
  return "Неизвестная ошибка";
}

}  // namespace tarn
