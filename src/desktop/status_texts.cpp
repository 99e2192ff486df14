#include "desktop/status_texts.h"

namespace kelvara {

const StatusTexts& statusTexts() {
    static const StatusTexts texts = {
        "正常終了",       "スキップ",     "ファイルのコピーに失敗",     "非対応の形式",
        "8ビットカラーではない", "書き出しエラー", "出力先が他のファイルと衝突", "待機中",
    };
    return texts;
}

}  // namespace kelvara
