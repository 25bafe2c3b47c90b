// SPDX-License-Identifier: MIT
// The page's texts in English and Turkish; the browser's language picks one.

const english = {
    pageTitle: "Vemdo Trackpad",
    pairTitle: "Pair this browser",
    pairHint: "Enter the six-digit pairing code that Vemdo Trackpad shows on the computer.",
    codeLabel: "Pairing code",
    pairButton: "Pair",
    connecting: "Connecting…",
    authenticating: "Signing in…",
    pairing: "Pairing…",
    ready: "Connected",
    needsCode: "Not paired",
    waiting: "Connection lost · retrying in {seconds} s",
    wrongCode: "That code did not work. Check the code on the computer and try again.",
    tooManyAttempts: "Too many attempts. Wait a minute, then try again.",
    codeSpent: "Too many wrong codes were tried. Make a new code on the computer (Generate New Code).",
    tokenRefused: "The computer no longer knows this browser. Enter its current pairing code.",
    storeUnavailable: "The computer cannot save its settings right now. Try again later.",
    surfaceHint: "One finger moves · tap clicks · two fingers scroll · double-tap and hold to drag",
    left: "Left",
    right: "Right",
    esc: "Esc",
    tab: "Tab",
    copy: "Copy",
    paste: "Paste",
    cut: "Cut",
    undo: "Undo",
    selectAll: "Select all",
    typeHere: "Type here",
};

const turkish = {
    pageTitle: "Vemdo Trackpad",
    pairTitle: "Bu tarayıcıyı eşleştir",
    pairHint: "Vemdo Trackpad'in bilgisayarda gösterdiği altı haneli eşleştirme kodunu girin.",
    codeLabel: "Eşleştirme kodu",
    pairButton: "Eşleştir",
    connecting: "Bağlanıyor…",
    authenticating: "Oturum açılıyor…",
    pairing: "Eşleştiriliyor…",
    ready: "Bağlı",
    needsCode: "Eşleştirilmedi",
    waiting: "Bağlantı koptu · {seconds} sn sonra yeniden denenecek",
    wrongCode: "Bu kod kabul edilmedi. Bilgisayardaki kodu kontrol edip yeniden deneyin.",
    tooManyAttempts: "Çok fazla deneme. Bir dakika bekleyip yeniden deneyin.",
    codeSpent: "Çok fazla yanlış kod denendi. Bilgisayarda yeni bir kod oluşturun (Yeni Kod Oluştur).",
    tokenRefused: "Bilgisayar bu tarayıcıyı artık tanımıyor. Güncel eşleştirme kodunu girin.",
    storeUnavailable: "Bilgisayar ayarlarını şu anda kaydedemiyor. Daha sonra yeniden deneyin.",
    surfaceHint: "Tek parmak hareket ettirir · dokunmak tıklar · iki parmak kaydırır · sürüklemek için çift dokunup basılı tutun",
    left: "Sol",
    right: "Sağ",
    esc: "Esc",
    tab: "Tab",
    copy: "Kopyala",
    paste: "Yapıştır",
    cut: "Kes",
    undo: "Geri al",
    selectAll: "Tümünü seç",
    typeHere: "Buraya yazın",
};

// languages: the browser's, most wanted first (navigator.languages).
export function pickTexts(languages) {
    for (const language of languages) {
        const primary = String(language).toLowerCase().split("-")[0];
        if (primary === "tr")
            return {language: "tr", texts: turkish};
        if (primary === "en")
            return {language: "en", texts: english};
    }
    return {language: "en", texts: english};
}
